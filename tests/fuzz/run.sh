#!/usr/bin/env bash
# Builds the parser fuzzers with clang (libFuzzer + ASan + UBSan), apart from the main g++ build,
# and runs each one for a while on a copy of its corpus.
#
#   tests/fuzz/run.sh [SECONDS] [OUTPUT_DIR]
#
# SECONDS (default 10) is the time per fuzzer; OUTPUT_DIR (default build/fuzz) receives objects,
# binaries, the working corpus copies, logs and any crash inputs. Exits non-zero on any crash,
# leak, timeout, broken invariant or build failure. FUZZ_CXX overrides the compiler.
set -euo pipefail

seconds=${1:-10}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=${2:-$repo/build/fuzz}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [[ ! $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    echo "run.sh: SECONDS must be a positive whole number, not '$seconds'" >&2
    exit 2
fi

cxx=${FUZZ_CXX:-}
if [[ -z $cxx ]]; then
    for candidate in clang++ clang++-14; do
        if command -v "$candidate" >/dev/null; then
            cxx=$candidate
            break
        fi
    done
fi
if [[ -z $cxx ]]; then
    echo "run.sh: clang++ not found (set FUZZ_CXX)" >&2
    exit 2
fi

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -Wall -Wextra -Wpedantic -I"$repo")
link_flags=(-fsanitize=fuzzer,address,undefined)

# A change of compiler or flags invalidates every object.
stamp="$out/flags.txt"
wanted="$cxx $("$cxx" --version | head -n 1) ${flags[*]} ${link_flags[*]}"
if [[ ! -f $stamp || $(<"$stamp") != "$wanted" ]]; then
    rm -rf "$out/obj"
fi
mkdir -p "$out/obj"
printf '%s' "$wanted" >"$stamp"

# True when the object is missing or older than its source or any header it included last time.
stale() {
    local object=$1 deps=$2 dep
    [[ -f $object && -f $deps ]] || return 0
    # The dependency file lists "object: source header ..." with backslash-continued lines.
    for dep in $(sed -e 's/\\$//' -e 's/^[^:]*://' "$deps"); do
        [[ -e $dep && ! $dep -nt $object ]] || return 0
    done
    return 1
}

# compile SOURCE: prints the object path; rebuilds only when stale.
compile() {
    local source=$1
    local name=${source//\//_}
    local object="$out/obj/${name%.cpp}.o" deps="$out/obj/${name%.cpp}.d"
    if stale "$object" "$deps"; then
        echo "compile $source" >&2
        "$cxx" "${flags[@]}" -MMD -MF "$deps" -c "$repo/$source" -o "$object"
    fi
    echo "$object"
}

# link NAME SOURCE...: the fuzzer binary, relinked only when one of its objects is newer.
link() {
    local name=$1 object relink=0
    shift
    local objects=()
    for source in "$@"; do
        object=$(compile "$source")
        objects+=("$object")
        [[ $object -nt "$out/$name" ]] && relink=1
    done
    if [[ ! -x $out/$name ]] || ((relink)); then
        echo "link $name" >&2
        "$cxx" "${link_flags[@]}" "${objects[@]}" -o "$out/$name"
    fi
}

link health_fuzzer tests/fuzz/HealthFuzzer.cpp \
    status/HealthFile.cpp status/StatusDerivation.cpp status/AgentState.cpp platform/Utf8.cpp
link pidline_fuzzer tests/fuzz/PidLineFuzzer.cpp agent/PidLine.cpp platform/Utf8.cpp

# run TARGET: fuzzes a fresh copy of tests/fuzz/corpus/TARGET; crash inputs go to artifacts/TARGET/.
status=0
run() {
    local target=$1
    local work="$out/corpus/$target" artifacts="$out/artifacts/$target/" log="$out/logs/$target.log"
    rm -rf "$work"
    mkdir -p "$work" "$artifacts" "$out/logs"
    cp "$here/corpus/$target"/* "$work/"
    local code=0
    "$out/${target}_fuzzer" "$work" -dict="$here/$target.dict" -max_total_time="$seconds" -timeout=5 \
        -rss_limit_mb=2048 -artifact_prefix="$artifacts" -print_final_stats=1 >"$log" 2>&1 || code=$?
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if ((code != 0)); then
        echo "${target}_fuzzer FAILED (exit $code) after ${runs:-?} executions; log: $log" >&2
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*broken rule|.*runtime error|artifact_prefix|Test unit written)' \
            "$log" >&2 || tail -n 40 "$log" >&2
        status=1
    else
        echo "${target}_fuzzer: ${runs:-?} executions in ${seconds} s, corpus $(find "$work" -type f | wc -l) inputs"
    fi
}

run health
run pidline
exit "$status"
