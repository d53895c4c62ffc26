#!/usr/bin/env bash
# Compiles every C++ source of the macOS build for arm64 and x86_64 macOS 13, with the project's
# warnings as errors, using Zig's toolchain (its macOS libc headers and libc++) and Debian's Qt
# headers. Nothing is linked: there is no macOS Qt here. Objective-C++ needs Apple's SDK, so those
# files are only named. The sources and flags come from the default configure
# (resources/macos/CompileCheck.cmake). The last line is the stage's summary for scripts/test.sh.
#
# usage: scripts/macos-compile.sh    (QUERN_SKIP_INSTALL=1 when install-deps.sh has run already)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 1
start=$(date +%s)
targets=(aarch64-macos.13.0 x86_64-macos.13.0)
jobs=2

summary() {
    printf '%-8s %s, %ss' macos "$1" "$(($(date +%s) - start))"
    [ -n "${2:-}" ] && printf '; %s' "$2"
    echo
}

if [ "${QUERN_SKIP_INSTALL:-}" != 1 ] && ! "$root/scripts/install-deps.sh"; then
    summary "install failed"
    exit 1
fi
# Where install-deps.sh puts Zig.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quern-zova"
zig="$cache/zig-0.11.0/package/zig"
if [ ! -x "$zig" ]; then
    summary "no Zig at $zig"
    exit 1
fi
build="$root/build/default"
if ! cmake --preset default >/dev/null; then
    summary "configure failed"
    exit 1
fi

# Project folders are searched first; Qt's headers only after Zig's macOS ones (-idirafter), so a
# header Qt and macOS both have comes from macOS. /usr/include holds glibc's headers too: only the
# libraries' own folders of it are offered, through a folder of links. Qt's mkspecs folder is
# Linux's qplatformdefs.h, which a macOS build would not see.
shim="$build/macos/include"
rm -rf "$shim"
mkdir -p "$shim"
flags=()
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
        "$root" | "$root"/*) flags+=("-I$value") ;;
        /usr/include | /usr/local/include)
            [ -e "$value/nlohmann" ] && ln -sfn "$value/nlohmann" "$shim/nlohmann"
            ;;
        */mkspecs/*) ;;
        *) flags+=(-idirafter "$value") ;;
        esac
        ;;
    esac
done <"$build/macos-compile-flags.txt"
flags+=(-idirafter "$shim" -Werror)
mapfile -t sources < <(grep -v '^$' "$build/macos-sources.txt")
mapfile -t objc < <(grep -v '^$' "$build/macos-objc-sources.txt")

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
rm -rf "$out/logs"
mkdir -p "$out/logs"
# compile TARGET SOURCE: the object is thrown away, the log kept when it fails.
compile() {
    local target=$1 source=$2 name
    name="$target-$(realpath --relative-to="$root" "$source" | tr / _)"
    mkdir -p "$out/$target"
    if ! "${launcher[@]}" "$compiler" -target "$target" "${flags[@]}" -c -o "$out/$target/$name.o" \
        "$source" >"$out/logs/$name.log" 2>&1; then
        mv "$out/logs/$name.log" "$out/logs/$name.failed"
    fi
}
export -f compile
export root out compiler
export flags_list="${flags[*]@Q}" launcher_list="${launcher[*]@Q}"
# shellcheck disable=SC2016 # the quoted script is expanded by the inner shell
for target in "${targets[@]}"; do
    for source in "${sources[@]}"; do
        printf '%s\0%s\0' "$target" "$source"
    done
done | xargs -0 -n2 -P"$jobs" bash -c \
    'eval "flags=($flags_list)"; eval "launcher=($launcher_list)"; compile "$1" "$2"' compile

failed=()
for source in "${sources[@]}"; do
    relative=$(realpath --relative-to="$root" "$source")
    for target in "${targets[@]}"; do
        log="$out/logs/$target-${relative//\//_}.failed"
        if [ -e "$log" ]; then
            echo "== $relative for $target"
            head -n 40 "$log"
            failed+=("$relative")
        fi
    done
done
mapfile -t failed < <(printf '%s\n' "${failed[@]}" | grep -v '^$' | sort -u)

echo "compiled for ${targets[*]}:"
for source in "${sources[@]}"; do
    echo "  $(realpath --relative-to="$root" "$source")"
done
names=()
for source in "${objc[@]}"; do
    names+=("$(realpath --relative-to="$root" "$source")")
done
result="${#sources[@]} files compiled for ${#targets[@]} targets, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ] || result+=" (${failed[*]})"
summary "$result" "not compiled (no SDK): ${names[*]}"
[ ${#failed[@]} -eq 0 ]
