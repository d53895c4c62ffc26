#!/usr/bin/env bash
# Configures and builds one preset (default: "default"); extra arguments go to cmake --build.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
# Clones in other folders share the cache: paths below the clone are hashed as relative ones, and
# the build folder is left out of the hash of objects with debug info.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
cmake --preset "$preset" -DQUERN_WERROR="${QUERN_WERROR:-$werror}" >/dev/null
# nproc is GNU's; macOS has sysctl.
jobs=$(nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)
cmake --build --preset "$preset" -j"$jobs" "$@"
