# Sourced by the tools: the CPython version a tool works with.
#
#   python_version 3.14|3.15
#
# sets pyver (the version), py (its interpreter), pyd (the debug interpreter)
# and suffix (of the build folders: "" for 3.14, the primary version, and
# "-3.15" for 3.15).  Any other version stops the tool with status 2.
python_version() {
    case "$1" in
        3.14 | 3.15) ;;
        *) echo "$(basename "$0"): unsupported --python '$1' (3.14 or 3.15)" >&2; exit 2 ;;
    esac
    pyver=$1 py=python$1 pyd=python${1}d
    if [ "$1" = 3.14 ]; then suffix=; else suffix=-$1; fi
}
python_version 3.14

# Takes a leading "--python V" or "--python=V" off the tool's arguments:
#   leading_python_option "$@"; shift "$nshift"
leading_python_option() {
    nshift=0
    case "${1:-}" in
        --python) python_version "${2:-}"; nshift=2 ;;
        --python=*) python_version "${1#--python=}"; nshift=1 ;;
    esac
}
