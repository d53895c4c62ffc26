#!/usr/bin/env bash
# cmake --install into a temporary prefix: the programs, and a desktop entry, an autostart entry,
# icon and AppStream metadata that validate and name each other and what is installed.
#
# usage: installed_files.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
fail() {
  echo "installed_files: FAIL: $*" >&2
  exit 1
}
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || fail "$tool is missing; scripts/install-deps.sh installs desktop-file-utils, appstream"
done
prefix=$(mktemp -d "${TMPDIR:-/tmp}/quern-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"

for program in quern-zova quern-bridge-agent; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
desktop="$prefix/share/applications/quern-zova.desktop"
metainfo="$prefix/share/metainfo/app.quernzova.client.metainfo.xml"
[ -f "$desktop" ] || fail "no share/applications/quern-zova.desktop"
[ -f "$metainfo" ] || fail "no share/metainfo/app.quernzova.client.metainfo.xml"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"

field() { sed -n "s/^$1=//p" "$desktop"; }
[ -x "$prefix/bin/$(field Exec)" ] || fail "Exec=$(field Exec) is not an installed program"
[ -f "$prefix/share/icons/hicolor/scalable/apps/$(field Icon).svg" ] ||
  fail "Icon=$(field Icon) is not in share/icons/hicolor/scalable/apps/"
grep -q "<launchable type=\"desktop-id\">quern-zova.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch quern-zova.desktop"
grep -q '<name xml:lang="zh_CN">' "$metainfo" && grep -q '<summary xml:lang="zh_CN">' "$metainfo" ||
  fail "the metainfo has no Chinese name or summary"
shots=$(sed -n 's|.*<image>.*/\([^/<]*\)</image>.*|\1|p' "$metainfo")
[ -n "$shots" ] || fail "the metainfo shows no screenshots"
for shot in $shots; do
  [ -f "$source/docs/screenshots/$shot" ] || fail "screenshot $shot is not one of docs/screenshots/"
done
# Started at login: an XDG autostart entry that no desktop filters out or leaves disabled.
autostart="$prefix/etc/xdg/autostart/quern-zova.desktop"
[ -f "$autostart" ] || fail "no etc/xdg/autostart/quern-zova.desktop"
desktop-file-validate "$autostart" || fail "desktop-file-validate rejects the autostart entry"
auto_field() { sed -n "s/^$1=//p" "$autostart"; }
[ "$(auto_field Exec)" = "$(field Exec)" ] || fail "the autostart entry runs $(auto_field Exec), not $(field Exec)"
[ "$(auto_field Icon)" = "$(field Icon)" ] || fail "the autostart entry's icon is not $(field Icon)"
for key in OnlyShowIn NotShowIn Hidden NoDisplay; do
  [ -z "$(auto_field "$key")" ] || fail "the autostart entry sets $key, which keeps it from some desktop or user"
done
[ "$(auto_field X-GNOME-Autostart-enabled)" = true ] || fail "the autostart entry is not X-GNOME-Autostart-enabled=true"
echo "installed_files: $(find "$prefix" -type f | wc -l) files installed and valid"
