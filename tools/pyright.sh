# Sourced by the tools: where pyright (an npm package) lives and how it gets
# there.  It is installed once with npm into a cache folder outside the
# repository; inside the root filesystem of tools/py314 the same path holds
# the copy that tools/py314 installs there with the host's npm.
#
#   KESTRUNE_PYRIGHT_DIR   the cache folder (default /var/cache/kestrune-pyright)
pyright_version=1.1.414
pyright_dir=${KESTRUNE_PYRIGHT_DIR:-/var/cache/kestrune-pyright}

# Installs pyright into the folder $1 (default: $pyright_dir) unless it is
# there already; fails without npm.
pyright_install() {
    local dir=${1:-$pyright_dir}
    [ -x "$dir/node_modules/.bin/pyright" ] && return 0
    command -v npm >/dev/null 2>&1 || return 1
    echo "installing pyright $pyright_version into $dir" >&2
    mkdir -p "$dir"
    npm install --prefix "$dir" --no-save --no-audit --no-fund --loglevel=error "pyright@$pyright_version" >&2
}
