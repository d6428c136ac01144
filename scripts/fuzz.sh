#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan, UBSan) and runs each for a
# bounded time. Usage: scripts/fuzz.sh [seconds-per-target] [target...]
#   default 60 seconds; targets: oem regstore (default both).
# Each target starts from its seed corpus in fuzz/corpus/<target>/ and keeps what it
# finds in build/fuzz/corpus/<target>/ (the repository's seeds are never changed). A
# crash leaves its input in build/fuzz/artifacts/ and makes this script fail; turn it
# into a unit test. The last lines of each run give the executions done.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(oem regstore)

scripts/setup.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

max_len_oem=16384      # past the line reader's 4096-byte buffer, several times
max_len_regstore=4096   # deep key chains make the saved text grow with the square of the depth

for t in "${targets[@]}"; do
    exe=build/fuzz/fuzz/fuzz_$t
    [[ -x $exe ]] || { echo "fuzz: no target '$t' (oem, regstore)" >&2; exit 2; }
    work=build/fuzz/corpus/$t
    artifacts=build/fuzz/artifacts/$t/
    mkdir -p "$work" "$artifacts"
    max_len_var=max_len_$t
    args=(-max_total_time="$seconds" -max_len="${!max_len_var}" -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix="$artifacts")
    [[ -f fuzz/$t.dict ]] && args+=(-dict="fuzz/$t.dict")
    echo "fuzz: $t for ${seconds}s" >&2
    log=build/fuzz/$t.log
    if ! "$exe" "${args[@]}" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "fuzz: $t FAILED; the input is in $artifacts" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $t passed: ${runs:-?} executions in ${seconds}s, corpus $(ls "$work" | wc -l) inputs"
done
