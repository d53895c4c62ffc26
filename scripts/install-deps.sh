#!/usr/bin/env bash
# Installs what building, running and testing Quern Zova needs on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config git
  qt6-base-dev qt6-svg-dev libqt6svg6 nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev hyperfine jq
  xvfb xauth trayer xdotool x11-utils imagemagick fonts-wqy-microhei dbus python3-xlib python3-gi
  desktop-file-utils appstream weston qt6-wayland
  procps
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
