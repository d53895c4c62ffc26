#!/usr/bin/env bash
# cmake --install into a temporary prefix: the client alone (the demo agent stays in the build tree),
# and a desktop entry, an autostart entry, icon and AppStream metadata that validate and name each
# other and what is installed. The .deb (cpack) holds the same, its autostart entry a conffile, and
# lintian finds nothing wrong with it: no error, no warning.
#
# usage: installed_files.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$2
fail() {
  echo "installed_files: FAIL: $*" >&2
  exit 1
}
for tool in desktop-file-validate appstreamcli cpack dpkg-deb lintian; do
  command -v "$tool" >/dev/null || fail "$tool is missing; scripts/install-deps.sh installs desktop-file-utils, appstream, lintian"
done
prefix=$(mktemp -d "${TMPDIR:-/tmp}/quern-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"

[ -x "$prefix/bin/quern-zova" ] || fail "bin/quern-zova is not installed"
programs=("$prefix"/bin/*)
[ "${programs[*]}" = "$prefix/bin/quern-zova" ] || fail "bin/ holds more than the client: ${programs[*]##*/}"
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

# The package: the same files below /usr, the autostart entry in /etc as its one conffile.
(cd "$prefix" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$prefix/package" >/dev/null) ||
  fail "cpack -G DEB failed"
deb=$(echo "$prefix"/package/quern-zova_*.deb)
[ -f "$deb" ] || fail "cpack made no quern-zova_*.deb"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$')
expected="./etc/xdg/autostart/quern-zova.desktop
./usr/bin/quern-zova
./usr/share/applications/quern-zova.desktop
./usr/share/doc/quern-zova/changelog.gz
./usr/share/doc/quern-zova/copyright
./usr/share/icons/hicolor/scalable/apps/quern-zova.svg
./usr/share/man/man1/quern-zova.1.gz
./usr/share/metainfo/app.quernzova.client.metainfo.xml"
[ "$(sort <<<"$contents")" = "$expected" ] || fail "the package holds $(xargs <<<"$contents"), not the client's eight files"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/xdg/autostart/quern-zova.desktop ] ||
  fail "the package's conffiles are '$(dpkg-deb -I "$deb" conffiles 2>&1)', not the autostart entry"
version=$(dpkg-deb -f "$deb" Version)
changelog=$(gzip -dc "$prefix/share/doc/quern-zova/changelog.gz") || fail "changelog.gz is not gzip"
[ "$(head -n 1 <<<"$changelog")" = "quern-zova ($version) unstable; urgency=medium" ] ||
  fail "the changelog's first entry is '$(head -n 1 <<<"$changelog")', not version $version"
findings=$(lintian --fail-on none "$deb" 2>&1) || fail "lintian could not check the package: $findings"
! grep -E '^[EW]: ' <<<"$findings" || fail "lintian reports errors or warnings about the package"
echo "installed_files: $(find "$prefix" -path "$prefix/package" -prune -o -type f -print | wc -l) files installed and valid; $(basename "$deb") the same, one conffile, lintian clean"
