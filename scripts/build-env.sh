# Sourced by build.sh and test.sh: what every build of theirs runs with. The presets read
# QUERN_WERROR (warnings are errors under CI unless it says otherwise).
# shellcheck shell=bash
_quern_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
# Clones in other folders share the cache: paths below the clone are hashed as relative ones, and
# the build folder is left out of the hash of objects with debug info.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$_quern_root}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
if [ -z "${QUERN_WERROR:-}" ]; then
  QUERN_WERROR=OFF
  [ "${CI:-}" = "true" ] && QUERN_WERROR=ON
fi
export QUERN_WERROR
# cmake --build, and the build steps of a workflow, run this many jobs. nproc is GNU's; macOS has sysctl.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)}"
unset _quern_root
