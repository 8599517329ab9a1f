#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for SECONDS each, on its seed corpus from fuzz/corpus/<target>.
# New inputs go to BUILD_DIR/corpus/<target>; a crash, a sanitizer report, a leak or a hang (an input
# taking over 10 s) leaves its input in BUILD_DIR/artifacts/ and fails the run.
#   fuzz/run.sh BUILD_DIR [SECONDS] [TARGET ...]
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
secs=${2:-25}
shift $(( $# >= 2 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_vboard_config fuzz_command_line fuzz_dialog_number fuzz_rx_ck \
                                     fuzz_json_names fuzz_plug_options)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
failed=()
summary=()
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    mkdir -p "$work"
    log="$build/artifacts/$t.log"
    # Stdout and stderr of the code under test are closed (usage texts); libFuzzer reports on a copy.
    "$build/fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    line="$t: ${runs:-?} executions in ${secs} s, ${cov:-cov: ?}, corpus $(ls "$work" | wc -l) inputs"
    if [ $rc -ne 0 ]; then
        failed+=("$t")
        line="$line: FAILED (exit $rc, log $log)"
        tail -40 "$log"
    fi
    summary+=("$line")
    echo "$line"
done
echo "fuzz: ${#targets[@]} targets, $(( ${#targets[@]} - ${#failed[@]} )) clean, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
