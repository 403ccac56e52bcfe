#!/bin/bash
# Runs every test: lint, the unit suite on the host, under ASan/UBSan and as
# armhf under qemu-arm-static, the device build, a bounded fuzzing run and the
# end-to-end tests on the emulated ARM device. Sets up the machine first.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

passed=0
failed=0
step() { printf '\n== %s\n' "$*"; }

# Runs one ctest preset and adds its counts to the totals.
run_ctest() {
    local log
    log=$(mktemp)
    ctest --preset "$1" -j2 2>&1 | tee "$log"
    local summary
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    rm -f "$log"
    if [ -z "$summary" ]; then
        failed=$((failed + 1))
        return
    fi
    local total fails
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
    fails=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$summary")
    passed=$((passed + total - fails))
    failed=$((failed + fails))
}

build() {
    if ! scripts/build.sh "$1"; then
        echo "build of $1 failed" >&2
        failed=$((failed + 1))
        return 1
    fi
}

step "lint"
scripts/lint.sh || failed=$((failed + 1))

step "host build and unit tests"
build host && run_ctest host

step "unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build asan && run_ctest asan

step "armhf build and unit tests under qemu-arm-static"
build armhf && run_ctest armhf

step "device build"
build device

# Each fuzz target for a bounded time; a finding fails the run.
step "fuzzing (${VF_FUZZ_SECONDS:-60} s per target)"
if scripts/fuzz.sh "${VF_FUZZ_SECONDS:-60}"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

# The emulated ARM device: the device binary on the kernel's real MTD stack.
step "end-to-end tests on the emulated ARM device"
emu_log=$(mktemp)
tests/emu/run.sh 2>&1 | tee "$emu_log"
emu_summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$emu_log" | tail -1)
rm -f "$emu_log"
if [ -n "$emu_summary" ]; then
    passed=$((passed + ${emu_summary%% passed*}))
    emu_failed=${emu_summary#*, }
    failed=$((failed + ${emu_failed%% failed}))
else
    failed=$((failed + 1))
fi

echo
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
