#!/usr/bin/env bash
# Configures and builds one preset (default: "default"); extra arguments go to cmake --build.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
# shellcheck source=scripts/build-env.sh
. scripts/build-env.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" "$@"
