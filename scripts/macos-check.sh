#!/usr/bin/env bash
# The macOS build, checked on Linux. With Zig's toolchain (its macOS libc headers, libc++ and Mach-O
# linker), Debian's Qt headers and GNUstep's Foundation and AppKit headers, for arm64 and x86_64
# macOS 13, with the project's warnings as errors:
#   1. compiles every source of the executable (C++, Objective-C++, moc, rcc), and for arm64 those of
#      the test suites macOS builds, the demo agent and the icon tool;
#   2. links the executable against stubs (.tbd) of Qt's frameworks made from Debian's Qt libraries'
#      exports; only the symbols of resources/macos/allowed-undefined.txt may stay undefined; joins
#      the two into one universal binary (llvm-lipo) and verifies both slices are in it;
#   3. assembles "Quern Zova.app" as the Mac build does (Info.plist filled by CMake, AppIcon.icns from
#      quern-make-icns) and checks the plist and the icon;
#   4. checks the Mac CI workflow (.github/workflows/macos.yml) names only scripts and presets that
#      exist, and shellchecks this script.
# The sources, flags and bundle values come from the default configure
# (resources/macos/CompileCheck.cmake). The last line is the stage's summary for scripts/test.sh.
#
# usage: scripts/macos-check.sh    (QUERN_SKIP_INSTALL=1 when install-deps.sh has run already)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 1
start=$(date +%s)
targets=(aarch64-macos.13.0 x86_64-macos.13.0)
jobs=2
python=/usr/bin/python3 # Debian's, with yaml

summary() {
    printf '%-8s %s, %ss\n' macos "$1" "$(($(date +%s) - start))"
}

if [ "${QUERN_SKIP_INSTALL:-}" != 1 ] && ! "$root/scripts/install-deps.sh"; then
    summary "install failed"
    exit 1
fi
# Where install-deps.sh puts Zig, and GNUstep's headers and llvm-lipo unpacked from Debian's packages.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quern-zova"
zig="$cache/zig-0.11.0/package/zig"
sdk="$cache/macos-headers"
lipo="$sdk/usr/lib/llvm-15/bin/llvm-lipo"
for tool in "$zig" "$lipo" "$sdk/usr/include/GNUstep/AppKit/AppKit.h"; do
    if [ ! -e "$tool" ]; then
        summary "missing $tool (scripts/install-deps.sh)"
        exit 1
    fi
done
build="$root/build/default"
if ! cmake --preset default >/dev/null || ! cmake --build --preset default --target quern_macos_generated >/dev/null; then
    summary "configure or moc/rcc failed"
    exit 1
fi

# Project folders are searched first; Qt's headers only after Zig's macOS ones (-idirafter), so a
# header Qt and macOS both have comes from macOS. /usr/include holds glibc's headers too: only the
# libraries' own folders of it are offered, through a folder of links. Qt's mkspecs folder is
# Linux's qplatformdefs.h, which a macOS build would not see.
shim="$build/macos/include"
rm -rf "$shim"
mkdir -p "$shim"
# read_flags FILE: the compiler options that file lists, into the array "flags".
read_flags() {
    flags=()
    local kind value
    declare -A seen=()
    while read -r kind value; do
        [ -n "$value" ] || continue
        case $kind in
        define) flags+=("-D$value") ;;
        option) [ "$value" = -g ] || flags+=("$value") ;; # debug info only costs time here
        include)
            [ -z "${seen[$value]:-}" ] || continue
            seen[$value]=1
            case $value in
            "$root" | "$root"/* | "$build" | "$build"/*) flags+=("-I$value") ;;
            /usr/include | /usr/local/include)
                for library in nlohmann gtest gmock; do
                    [ -e "$value/$library" ] && ln -sfn "$value/$library" "$shim/$library"
                done
                ;;
            */mkspecs/*) ;;
            *) flags+=(-idirafter "$value") ;;
            esac
            ;;
        esac
    done <"$1"
    flags+=(-idirafter "$shim" -Werror)
}
read_flags "$build/macos-compile-flags.txt"
app_flags=("${flags[@]}")
read_flags "$build/macos-other-flags.txt"
other_flags=("${flags[@]}")
# Objective-C++: GNUstep's headers with Apple's runtime (gcc's objc/ headers first), what GNUstep
# lacks declared as Apple's SDK does, and a macOS 14 SDK's view, so the branches for 14 compile too.
objc_flags=("${app_flags[@]}" -I "$sdk/usr/lib/gcc/x86_64-linux-gnu/12/include" -DOS_OBJECT_USE_OBJC=0
    -idirafter "$sdk/usr/include/GNUstep" -include "$root/resources/macos/AppleDeclarations.h"
    -D__MAC_OS_X_VERSION_MAX_ALLOWED=140000)

# ccache keeps unchanged files from being compiled again; Zig's own caches stay in our folder.
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache" ZIG_LOCAL_CACHE_DIR="$cache/zig-cache"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
export CCACHE_COMPILERTYPE=clang CCACHE_COMPILERCHECK=content
compiler="$cache/zig-c++"
wrapper="#!/bin/sh
exec '$zig' c++ \"\$@\""
# Written only when it changes: ccache identifies the compiler by this file.
[ "$(cat "$compiler" 2>/dev/null)" = "$wrapper" ] || { printf '%s\n' "$wrapper" >"$compiler" && chmod +x "$compiler"; }
launcher=()
command -v ccache >/dev/null && launcher=(ccache)

out="$build/macos"
rm -rf "$out/logs" "$out"/*-macos.13.0
mkdir -p "$out/logs"
object() { # object TARGET SOURCE: where its object goes
    echo "$out/$1/$(realpath --relative-to="$root" "$2" | tr / _).o"
}
# compile TARGET KIND SOURCE: the log is kept when it fails.
compile() {
    local target=$1 kind=$2 source=$3 o
    o=$(object "$target" "$source")
    mkdir -p "$(dirname "$o")"
    case $kind in
    objc) eval "flags=($objc_list)" ;;
    other) eval "flags=($other_list)" ;;
    *) eval "flags=($app_list)" ;;
    esac
    eval "launcher=($launcher_list)"
    "${launcher[@]}" "$compiler" -target "$target" "${flags[@]}" -c -o "$o" "$source" >"$o.log" 2>&1 ||
        mv "$o.log" "$out/logs/$(basename "$o" .o)-$target.failed"
}
export -f compile object
export root out compiler
export app_list="${app_flags[*]@Q}" other_list="${other_flags[*]@Q}" objc_list="${objc_flags[*]@Q}"
export launcher_list="${launcher[*]@Q}"
mapfile -t lines < <(grep -v '^$' "$build/macos-sources.txt")
# The executable for both architectures; the rest, which is not linked here, for arm64 alone (half
# the cold compile time; the code is the same for both).
for target in "${targets[@]}"; do
    for line in "${lines[@]}"; do
        [ "${line%% *}" != other ] || [ "$target" = "${targets[0]}" ] || continue
        printf '%s\0%s\0%s\0' "$target" "${line%% *}" "${line#* }"
    done
done | xargs -0 -n3 -P"$jobs" bash -c 'compile "$@"' compile

failed=()
for log in "$out"/logs/*.failed; do
    [ -e "$log" ] || continue
    echo "== $(basename "$log" .failed)"
    head -n 40 "$log"
    failed+=("$(basename "$log" .failed)")
done
count() { printf '%s\n' "${lines[@]}" | grep -c "^$1 "; }
result="$(count app) C++, $(count objc) Objective-C++, $(count generated) moc/rcc compiled for ${targets[*]}, $(count other) test/agent/tool files for ${targets[0]}"
if [ ${#failed[@]} -gt 0 ]; then
    summary "$result; ${#failed[@]} failed: ${failed[*]}"
    exit 1
fi

# Stubs of Qt's frameworks: what Debian's Qt libraries export, under the framework's install name.
# A Qt function taking or returning a std:: type is mangled with libc++'s std::__1 on a Mac: such
# an undefined symbol is Qt's when, demangled without the library's inline namespace, Qt exports it.
frameworks="$out/frameworks"
rm -rf "$frameworks"
qt_modules=(Core Gui Widgets Svg Network)
qtlib() { echo "/usr/lib/x86_64-linux-gnu/libQt6$1.so.6"; }
for module in "${qt_modules[@]}"; do
    mkdir -p "$frameworks/Qt$module.framework"
    nm -D --defined-only --without-symbol-versions "$(qtlib "$module")" | awk '$2 != "A" { print "_" $3 }' |
        sort -u >"$frameworks/Qt$module.symbols"
    c++filt -_ <"$frameworks/Qt$module.symbols" | sed -e 's/std::__cxx11::/std::/g' -e 's/\[abi:cxx11\]//g' | sort -u >"$frameworks/Qt$module.demangled"
done
# stub LIBRARY SYMBOLS-FILE: a text stub for the library, as the Mac's linker would find it.
stub() {
    local name=$1 install dir
    case $name in
    Qt*) install="@rpath/$name.framework/Versions/A/$name" dir="$frameworks/$name.framework" ;;
    objc) install=/usr/lib/libobjc.A.dylib dir="$frameworks/libobjc" ;;
    *) install="/System/Library/Frameworks/$name.framework/Versions/A/$name" dir="$frameworks/$name.framework" ;;
    esac
    mkdir -p "$dir"
    {
        printf -- "--- !tapi-tbd\ntbd-version: 4\ntargets: [ x86_64-macos, arm64-macos ]\ninstall-name: '%s'\n" "$install"
        printf 'exports:\n  - targets: [ x86_64-macos, arm64-macos ]\n    symbols: [ '
        sort -u "$2" | paste -sd, | sed 's/,/, /g'
        printf ' ]\n...\n'
    } >"$dir/$(basename "$dir" .framework).tbd"
}
for module in "${qt_modules[@]}"; do
    stub "Qt$module" "$frameworks/Qt$module.symbols"
done
mapfile -t allowed < <(grep -v -e '^#' -e '^$' resources/macos/allowed-undefined.txt)

# link TARGET OUTPUT: the executable's objects against the stubs; the undefined symbols in
# $out/undefined-TARGET.txt when it fails.
link_inputs=(-F "$frameworks" -L "$frameworks/libobjc")
for module in "${qt_modules[@]}"; do
    link_inputs+=(-framework "Qt$module")
done
link() {
    local target=$1 objects=() line
    for line in "${lines[@]}"; do
        [ "${line%% *}" = other ] || objects+=("$(object "$target" "${line#* }")")
    done
    "$zig" c++ -target "$target" -o "$2" "${objects[@]}" "${link_inputs[@]}" "${extra_inputs[@]}" \
        >"$out/link-$target.log" 2>&1 && return 0
    sed -n "s/.*undefined reference to symbol '\(.*\)'.*/\1/p" "$out/link-$target.log" | sort -u >"$out/undefined-$target.txt"
    return 1
}
# First pass: what is undefined against Qt alone; each is Apple's, Qt's under libc++'s names, or ours.
extra_inputs=()
unknown=()
rm -f "$frameworks"/*.extra
for target in "${targets[@]}"; do
    link "$target" "$out/first-pass" && continue
    while read -r symbol; do
        library=""
        for entry in "${allowed[@]}"; do
            read -r name pattern <<<"$entry"
            # shellcheck disable=SC2053 # a pattern
            [[ $symbol == $pattern ]] && library=$name && break
        done
        if [ -z "$library" ]; then
            plain=$(c++filt -_ <<<"$symbol" | sed 's/std::__1::/std::/g')
            for module in "${qt_modules[@]}"; do
                grep -qxF -- "$plain" "$frameworks/Qt$module.demangled" && library="Qt$module" && break
            done
        fi
        if [ -z "$library" ]; then
            unknown+=("$symbol ($(c++filt -_ <<<"$symbol")) for $target")
        else
            echo "$symbol" >>"$frameworks/$library.extra"
        fi
    done <"$out/undefined-$target.txt"
done
if [ ${#unknown[@]} -gt 0 ]; then
    echo "== undefined, and not on resources/macos/allowed-undefined.txt:"
    printf '  %s\n' "${unknown[@]}"
    summary "$result; link failed: ${#unknown[@]} undefined symbols"
    exit 1
fi
for extra in "$frameworks"/*.extra; do
    [ -e "$extra" ] || continue
    library=$(basename "$extra" .extra)
    case $library in
    Qt*) cat "$frameworks/$library.symbols" "$extra" >"$extra.all" && stub "$library" "$extra.all" ;;
    objc) stub objc "$extra" && extra_inputs+=(-lobjc) ;;
    *) stub "$library" "$extra" && extra_inputs+=(-framework "$library") ;;
    esac
done
# Second pass: with every allowed symbol defined by its library's stub, both links must succeed.
slices=()
for target in "${targets[@]}"; do
    if ! link "$target" "$out/Quern Zova-$target"; then
        cat "$out/link-$target.log"
        summary "$result; link failed for $target"
        exit 1
    fi
    slices+=("$out/Quern Zova-$target")
done
universal="$out/Quern Zova"
if ! "$lipo" -create "${slices[@]}" -output "$universal" || ! "$lipo" "$universal" -verify_arch arm64 x86_64; then
    summary "$result; linked, but no universal binary with arm64 and x86_64"
    exit 1
fi
result+="; linked, universal ($("$lipo" -archs "$universal" | xargs))"

# The bundle, as CMake lays it out on a Mac.
declare -A bundle=()
while read -r key value; do bundle[$key]=$value; done <"$build/macos-bundle.txt"
app="$out/${bundle[executable]}.app"
rm -rf "$app"
mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
cp "$universal" "$app/Contents/MacOS/${bundle[executable]}"
cp "$build/macos/Info.plist" "$app/Contents/Info.plist"
printf 'APPL????' >"$app/Contents/PkgInfo"
if ! QT_QPA_PLATFORM=offscreen "$build/bin/quern-make-icns" resources/icons/AppIcon.svg \
    "$app/Contents/Resources/${bundle[icon]}.icns"; then
    summary "$result; quern-make-icns failed"
    exit 1
fi
if ! "$python" - "$app" "${bundle[deployment-target]}" <<'EOF'; then
import plistlib, struct, sys
app, deployment = sys.argv[1], sys.argv[2]
problems = []
try:
    with open(f"{app}/Contents/Info.plist", "rb") as f:
        info = plistlib.load(f)
except Exception as error:
    sys.exit(f"Info.plist does not parse: {error}")
executable = info.get("CFBundleExecutable")
import os
if not executable or not os.path.isfile(f"{app}/Contents/MacOS/{executable}"):
    problems.append(f"CFBundleExecutable {executable!r} names no file in Contents/MacOS")
if not info.get("CFBundleIdentifier"):
    problems.append("no CFBundleIdentifier")
if info.get("LSMinimumSystemVersion") != deployment:
    problems.append(f"LSMinimumSystemVersion {info.get('LSMinimumSystemVersion')!r}, deployment target {deployment}")
if info.get("NSHighResolutionCapable") is not True:
    problems.append("NSHighResolutionCapable missing or false")
icon = f"{app}/Contents/Resources/{info.get('CFBundleIconFile', '')}.icns"
try:
    data = open(icon, "rb").read()
except OSError as error:
    sys.exit(f"no icon: {error}")
# Every size a Mac asks for: 16, 32, 128, 256 and 512 points at 1x and 2x.
wanted = {b"icp4": 16, b"ic11": 32, b"icp5": 32, b"ic12": 64, b"ic07": 128,
          b"ic13": 256, b"ic08": 256, b"ic14": 512, b"ic09": 512, b"ic10": 1024}
if data[:4] != b"icns" or struct.unpack(">I", data[4:8])[0] != len(data):
    sys.exit("AppIcon.icns: not an icns file")
found, at = {}, 8
while at + 8 <= len(data):
    kind, size = data[at:at + 4], struct.unpack(">I", data[at + 4:at + 8])[0]
    png = data[at + 8:at + size]
    if png[:8] == b"\x89PNG\r\n\x1a\n":
        found[kind] = struct.unpack(">II", png[16:24])
    at += max(size, 8)
for kind, pixels in wanted.items():
    if found.get(kind) != (pixels, pixels):
        problems.append(f"AppIcon.icns: {kind.decode()} is {found.get(kind)}, not {pixels}x{pixels}")
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
EOF
    summary "$result; the bundle's check failed"
    exit 1
fi
result+=", bundle checked"

# The Mac CI workflow: it parses, runs on macOS, and every script and preset it names exists.
if ! "$python" - "$root" <<'EOF'; then
import json, re, sys, yaml
root = sys.argv[1]
try:
    workflow = yaml.safe_load(open(f"{root}/.github/workflows/macos.yml"))
except Exception as error:
    sys.exit(f"macos.yml does not parse: {error}")
problems = []
presets = json.load(open(f"{root}/CMakePresets.json"))
names = {p["name"] for kind in ("configurePresets", "buildPresets", "testPresets") for p in presets.get(kind, [])}
for name, job in workflow["jobs"].items():
    if "macos" not in str(job.get("runs-on")):
        problems.append(f"job {name} runs on {job.get('runs-on')}, not macOS")
    for step in job.get("steps", []):
        run = step.get("run", "")
        for path in re.findall(r"(?<![\w/.-])((?:scripts|tests|resources|bench)/[\w./-]+)", run):
            try:
                open(f"{root}/{path}").close()
            except OSError:
                problems.append(f"{name}: {path} does not exist")
        for preset in re.findall(r"--preset[ =]([\w-]+)", run):
            if preset not in names:
                problems.append(f"{name}: no preset {preset}")
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
EOF
    summary "$result; the workflow's check failed"
    exit 1
fi
if ! shellcheck "$root/scripts/macos-check.sh" "$root/scripts/install-deps.sh"; then
    summary "$result; shellcheck failed"
    exit 1
fi
summary "$result, workflow checked"
