#!/bin/bash
# Runs every fuzz target for a while (default 60 s each; fuzz.sh SECONDS [TARGET...]).
# Seeds come from fuzz/corpus/<name>; new inputs go to build/fuzz/corpus/<name>.
# A crash leaves its input in build/fuzz/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ident cli subblock container flash sign)

cmake --preset fuzz >/dev/null
if ! log=$(cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}" 2>&1); then
    tail -n 30 <<<"$log" >&2
    echo "fuzz: the targets do not build" >&2
    exit 1
fi

status=0
for name in "${targets[@]}"; do
    work=build/fuzz/corpus/$name
    mkdir -p "$work"
    options=detect_leaks=1
    # The container reader keeps its records for the whole run by design.
    [ "$name" = container ] && options=detect_leaks=0
    log=build/fuzz/$name.log
    if ASAN_OPTIONS=$options UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        build/fuzz/fuzz/fuzz_$name -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build/fuzz/"$name"- -print_final_stats=1 -close_fd_mask=3 "$work" "fuzz/corpus/$name" \
        >"$log" 2>&1; then
        runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
        echo "fuzz_$name: ${runs:-?} runs in ${seconds}s, no finding"
    else
        echo "fuzz_$name: FAILED, see $log"
        tail -30 "$log"
        status=1
    fi
done
exit $status
