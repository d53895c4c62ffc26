#!/usr/bin/env bash
# Builds and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
cd "$root"
"$root/scripts/build.sh" default
ctest --preset default -j2 --timeout 300
