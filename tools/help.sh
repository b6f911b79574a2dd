# Sourced by every tool first, with the tool's arguments: "--help" or "-h" as
# the first argument prints the tool's header comment (its usage) and exits
# 0 before any work.
#
#   . "$(dirname "${BASH_SOURCE[0]}")/help.sh" "$@"
case "${1:-}" in
    -h | --help)
        sed -n '2,${/^#/!q;s/^# \{0,1\}//;p}' "$0"
        exit 0 ;;
esac
