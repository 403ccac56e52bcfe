#!/bin/bash
# End-to-end tests on an emulated ARM device (qemu-system-arm, Debian's armmp
# kernel, nandsim): fetches and caches the guest software, builds the device
# binary and the test data, boots the guest once per plan and prints one
# PASS/FAIL line per test, then "N passed, N failed". Exits non-zero on any
# failure or timeout. Console logs stay in build/emu/logs/.
# EMU_PLANS="nand2k ..." boots only those plans; EMU_ONLY=NAME runs only the
# guest test of that name.
set -euo pipefail
cd "$(dirname "$0")/../.."
. emu/lib.sh

started=$(date +%s)
passed=0
failed=0
result() { # PASS|FAIL name
  echo "$1 $2"
  if [ "$1" = PASS ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}
finish() {
  echo "emulated-device suite took $(($(date +%s) - started)) s"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# The guest helper (tests/emu/guest/vfhelper.c) goes into /vf beside the plans.
build_helper() {
  arm-linux-gnueabihf-gcc -static -O2 -Wall -Wextra -Werror \
    -o "$EMU_BUILD/vfhelper" tests/emu/guest/vfhelper.c
}

if ! emu_prepare || ! build_helper || ! tests/emu/fixtures.sh "$EMU_BUILD/data" ||
  ! emu_initramfs "$EMU_BUILD/data" "$EMU_BUILD/initramfs.cpio.gz" \
    tests/emu/guest/*.sh "$EMU_BUILD/vfhelper"; then
  result FAIL "emu/prepare"
  finish
fi

logs=$EMU_BUILD/logs
mkdir -p "$logs"

# Tests of one boot: the guest's own results, then whether the plan finished.
report_boot() {
  local plan=$1 log=$2 rc=$3 name status
  while read -r _ status name; do
    result "$status" "$plan/$name"
    if [ "$status" = FAIL ]; then
      grep -F "VF-DETAIL $name: " "$log" | sed 's/^VF-DETAIL /    /' || true
    fi
  done < <(grep -E '^VF-RESULT (PASS|FAIL) ' "$log" || true)

  local finished=VF-END
  [ "$plan" = nand2k ] && [ -z "${EMU_ONLY:-}" ] && finished=VF-RESTART-NEXT
  if [ "$rc" -eq 0 ] && grep -q "^$finished" "$log" && ! grep -q 'Kernel panic' "$log"; then
    result PASS "$plan/complete"
  else
    result FAIL "$plan/complete"
    echo "    qemu status $rc (124: timeout); console tail:"
    tail -n 15 "$log" | sed 's/^/    | /'
  fi
}

# -R: after the marker the tool flashes, says "Rebooting..." and the kernel
# restarts, which ends qemu (-no-reboot); the tool never returns.
report_restart() {
  local log=$1 rc=$2 after
  after=$(sed -n '/^VF-RESTART-NEXT$/,$p' "$log")
  if [ "$rc" -eq 0 ] && [ "$(grep -xF -e 'Reading and flashing kernel image' \
    -e 'Reading and flashing initfs image' -e 'Image(s) successfully flashed' \
    -e 'Rebooting...' <<<"$after" | tr '\n' '|')" = \
    'Reading and flashing kernel image|Reading and flashing initfs image|Image(s) successfully flashed|Rebooting...|' ] &&
    grep -q 'reboot: Restarting system' <<<"$after" &&
    ! grep -q '^VF-RESTART-RETURNED' <<<"$after"; then
    result PASS "nand2k/restart"
  else
    result FAIL "nand2k/restart"
    echo "    qemu status $rc; console after the marker:"
    tail -n 15 <<<"$after" | sed 's/^/    | /'
  fi
}

for plan in ${EMU_PLANS:-nand2k nand512}; do
  log=$logs/$plan.log
  echo "== booting the emulated device: $plan"
  rc=0
  emu_boot "$EMU_BUILD/initramfs.cpio.gz" "$plan" "$log" 900 || rc=$?
  report_boot "$plan" "$log" "$rc"
  if [ "$plan" = nand2k ] && [ -z "${EMU_ONLY:-}" ]; then
    report_restart "$log" "$rc"
  fi
done

finish
