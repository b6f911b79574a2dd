# Sourced by the tools: the CPython version a tool works with.
#
#   python_version VERSION
#
# sets pyver (the version), py (its interpreter), pyd (the debug interpreter)
# and suffix (of the build folders: "" for 3.14, the primary version, and
# "-<version>" for the others).  3.14t is the free-threaded CPython 3.14:
# no distribution packages it, so the tools use one already installed (on
# the PATH as python3.14t / python3.14td, or named by KESTRUNE_PYTHON314T /
# KESTRUNE_PYTHON314TD) and never build it; its pure-Python test tools
# (pytest, hypothesis, pytest-run-parallel) come from the distribution's
# packages folder, given by extra_pythonpath.  Any other version stops the tool with
# status 2.  Another version is one more line in the table below.
python_versions="3.14 3.15 3.14t"
python_version() {
    case "$1" in
        # version) interpreter       debug interpreter   build-folder suffix
        3.14) py=python3.14 pyd=python3.14d suffix= ;;
        3.15) py=python3.15 pyd=python3.15d suffix=-3.15 ;;
        # the free-threaded build: found on the PATH, or named by these variables
        3.14t) py=${KESTRUNE_PYTHON314T:-python3.14t} pyd=${KESTRUNE_PYTHON314TD:-python3.14td} suffix=-3.14t ;;
        *)
            echo "$(basename "$0"): unsupported --python '$1' (one of: $python_versions)" >&2
            exit 2 ;;
    esac
    pyver=$1
    extra_pythonpath=
    case "$1" in *t) extra_pythonpath=/usr/lib/python3/dist-packages ;; esac
}
python_version 3.14

# The machine a tool builds or tests for (--target): tools/target.sh, beside
# this file (in the repository the tool sets as $repo, or the current
# folder).  This file and that one are plain POSIX shell, so that sh can
# source them too.
. "${repo:-.}/tools/target.sh"

# Takes the leading "--python V", "--target M" and "--compiler C" (or
# "--python=V" ...) off the tool's arguments, in any order:
#   leading_python_option "$@"; shift "$nshift"
leading_python_option() {
    nshift=0
    while :; do
        case "${1:-}" in
            --python) python_version "${2:-}"; shift 2; nshift=$((nshift + 2)) ;;
            --python=*) python_version "${1#--python=}"; shift; nshift=$((nshift + 1)) ;;
            --target) target_machine "${2:-}"; shift 2; nshift=$((nshift + 2)) ;;
            --target=*) target_machine "${1#--target=}"; shift; nshift=$((nshift + 1)) ;;
            --compiler) compiler_choice "${2:-}"; shift 2; nshift=$((nshift + 2)) ;;
            --compiler=*) compiler_choice "${1#--compiler=}"; shift; nshift=$((nshift + 1)) ;;
            *) break ;;
        esac
    done
}

# Stops the tool with status 2 when the interpreter $1 (default: $py) is
# missing, and says how to get it.
require_python() {
    local exe=${1:-$py}
    command -v "$exe" >/dev/null 2>&1 && return 0
    echo "$(basename "$0"): $exe not found; tools/py314 runs a command where CPython 3.14 and 3.15 are" \
        "(e.g. tools/py314 tools/$(basename "$0")${pyver:+ --python $pyver})" >&2
    exit 2
}
