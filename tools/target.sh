# Sourced by tools/python-version.sh: the machine a tool builds or tests for
# (--target), and the compiler it builds with (--compiler).
#
#   target_machine MACHINE
#
# "" (or x86_64) is this machine; aarch64 is 64-bit ARM Linux, built with
# the distribution's cross compiler against the headers of an unpacked
# aarch64 root filesystem and run under user-mode emulation (qemu-aarch64).
# For aarch64 it sets:
#   target        aarch64 ("" for this machine)
#   aarch64_root  the unpacked root: KESTRUNE_AARCH64_ROOT, default
#                 /var/cache/kestrune-py314/aarch64 (tools/py314 makes it)
#   tsuffix       the build-folder suffix, "-aarch64" ("" for this machine)
# and target_python writes and names a script that runs the root's
# interpreter of the tool's version under the emulator.
target=
tsuffix=
aarch64_root=${KESTRUNE_AARCH64_ROOT:-/var/cache/kestrune-py314/aarch64}
target_machine() {
    case "$1" in
        "" | x86_64) target= tsuffix= ;;
        aarch64) target=aarch64 tsuffix=-aarch64 ;;
        *)
            echo "$(basename "$0"): unsupported --target '$1' (aarch64, or none for this machine)" >&2
            exit 2 ;;
    esac
}

# --compiler gcc (the default: the distribution's g++) or clang (its
# clang++); sets compiler, cxx (the compiler command, "" for CMake's default)
# and csuffix (of the build folders: "" or "-clang").
compiler=gcc cxx= csuffix=
compiler_choice() {
    case "$1" in
        gcc) compiler=gcc cxx= csuffix= ;;
        clang) compiler=clang cxx=clang++ csuffix=-clang ;;
        *)
            echo "$(basename "$0"): unsupported --compiler '$1' (gcc or clang)" >&2
            exit 2 ;;
    esac
}

# The user-mode emulator: the distribution's qemu-aarch64 (static), or the
# older package's qemu-aarch64-static.
qemu_aarch64() {
    command -v qemu-aarch64 2>/dev/null || command -v qemu-aarch64-static 2>/dev/null || {
        echo "$(basename "$0"): no qemu-aarch64 here: this machine cannot run aarch64 programs" \
            "(install qemu-user, or run through tools/py314)" >&2
        return 1
    }
}

# Writes build/aarch64-python/python<version>, a script that runs the aarch64
# root's interpreter under the emulator with the script's own path as
# argv[0]: sys.executable is then the script, so that a test that starts
# sys.executable starts the emulated interpreter again.  Checks that it
# runs, prints the script's path.
target_python() {
    local qemu dir exe
    qemu=$(qemu_aarch64) || return 1
    [ -x "$aarch64_root/usr/bin/python$pyver" ] || {
        echo "$(basename "$0"): $aarch64_root/usr/bin/python$pyver not found; tools/py314 makes the aarch64" \
            "root filesystem (e.g. tools/py314 tools/build --target aarch64 --python $pyver)" >&2
        return 1
    }
    dir="$repo/build/aarch64-python"
    exe="$dir/python$pyver"
    mkdir -p "$dir"
    printf '#!/bin/sh\nexec '\''%s'\'' -L '\''%s'\'' -0 "$0" '\''%s'\'' "$@"\n' "$qemu" "$aarch64_root" \
        "$aarch64_root/usr/bin/python$pyver" >"$exe"
    chmod +x "$exe"
    if ! "$exe" -c 'import platform, sys; sys.exit(platform.machine() != "aarch64")' >/dev/null 2>&1; then
        echo "$(basename "$0"): $qemu cannot run the aarch64 interpreter $aarch64_root/usr/bin/python$pyver" >&2
        return 1
    fi
    echo "$exe"
}

# Stops a tool that works on this machine only when --target names another.
this_machine_only() {
    if [ -n "$target" ]; then
        echo "$(basename "$0"): --target $target is not supported here (tools/build, tools/test," \
            "tools/example and tools/wheel-check take it)" >&2
        exit 2
    fi
    only_gcc
}

# Stops a tool that builds with the default compiler only when --compiler
# names another.
only_gcc() {
    [ "$compiler" = gcc ] && return 0
    echo "$(basename "$0"): --compiler $compiler is not supported here (tools/build and tools/test take it)" >&2
    exit 2
}
