#!/bin/bash
# End-to-end tests on an emulated ARM device (qemu-system-arm, Debian's armmp
# kernel, nandsim): fetches and caches the guest software, builds the device
# binary and the test data, boots the guest once per plan and prints one
# PASS/FAIL line per test, then "N passed, N failed". Exits non-zero on any
# failure or timeout. Console logs stay in build/emu/logs/, the checksums of
# the partitions the tests dumped in build/emu/dumps/PLAN.txt.
# EMU_PLANS="nand2k ..." boots only those plans; EMU_ONLY=NAME runs only the
# guest test of that name. The plan "frontends" boots a root file system of
# its own, with the update front ends (tests/emu/frontends.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
. emu/lib.sh

started=$(date +%s)
passed=0
failed=0
# result PASS|FAIL NAME [DETAILS]: a failure's details follow its line.
result() {
  echo "$1 $2"
  [ "$1" = PASS ] && passed=$((passed + 1)) && return
  failed=$((failed + 1))
  [ -z "${3:-}" ] || echo "$3"
}
# verdict NAME CHECK HEADING TEXT: PASS when the function CHECK succeeds,
# otherwise FAIL with the heading and TEXT's last lines.
verdict() {
  if $2; then result PASS "$1"; else result FAIL "$1" "    $3"$'\n'"$(tail -n 15 <<<"$4" | sed 's/^/    | /')"; fi
}
finish() {
  echo "emulated-device suite took $(($(date +%s) - started)) s"
  echo "$passed passed, $failed failed"
  exit $((failed > 0))
}

# The guest helper (tests/emu/guest/vfhelper.c) goes into /vf beside the plans.
emu_prepare && arm-linux-gnueabihf-gcc -static -O2 -Wall -Wextra -Werror \
  -o "$EMU_BUILD/vfhelper" tests/emu/guest/vfhelper.c &&
  tests/emu/fixtures.sh "$EMU_BUILD/data" &&
  emu_initramfs "$EMU_BUILD/data" "$EMU_BUILD/initramfs.cpio.gz" \
    tests/emu/guest/*.sh "$EMU_BUILD/vfhelper" || {
  result FAIL "emu/prepare"
  finish
}

# The plan finished and, after the restart marker of the nand2k plan, the tool
# flashed, said "Rebooting..." and the kernel restarted, which ends qemu
# (-no-reboot); the tool never returns.
complete() { [ "$rc" -eq 0 ] && grep -q "^$finished" "$log" && ! grep -q 'Kernel panic' "$log"; }
restarted() {
  local want=$'Reading and flashing kernel image\nReading and flashing initfs image\nImage(s) successfully flashed\nRebooting...'
  [ "$rc" -eq 0 ] && [ "$(grep -xF "$want" <<<"$after")" = "$want" ] &&
    grep -q 'reboot: Restarting system' <<<"$after" && ! grep -q '^VF-RESTART-RETURNED' <<<"$after"
}

plans=${EMU_PLANS:-nand2k nand512 markbad frontends}
case " $plans " in
*" frontends "*)
  tests/emu/frontends.sh "$EMU_BUILD/frontends" "$EMU_BUILD/data" &&
    EMU_OVERLAY=$EMU_BUILD/frontends emu_initramfs "$EMU_BUILD/data" \
      "$EMU_BUILD/initramfs-frontends.cpio.gz" tests/emu/guest/*.sh "$EMU_BUILD/vfhelper" ||
    result FAIL "emu/prepare-frontends"
  ;;
esac

mkdir -p "$EMU_BUILD/logs" "$EMU_BUILD/dumps"
for plan in $plans; do
  log=$EMU_BUILD/logs/$plan.log
  echo "== booting the emulated device: $plan"
  rc=0
  initramfs=$EMU_BUILD/initramfs.cpio.gz
  [ "$plan" = frontends ] && initramfs=$EMU_BUILD/initramfs-frontends.cpio.gz
  emu_boot "$initramfs" "$plan" "$log" 900 || rc=$?
  grep '^VF-DUMP ' "$log" >"$EMU_BUILD/dumps/$plan.txt" || true
  while read -r _ status name; do
    result "$status" "$plan/$name" "$(grep -F "VF-DETAIL $name: " "$log" | sed 's/^VF-DETAIL /    /')"
  done < <(grep -E '^VF-RESULT (PASS|FAIL) ' "$log" || true)
  # The records of --report, parsed here with a real JSON parser.
  while read -r status name details; do
    result "$status" "$plan/record/${name%:}" "${details:+    $details}"
  done < <(python3 tests/emu/check_records.py "$log")
  finished=VF-END
  [ "$plan" = nand2k ] && [ -z "${EMU_ONLY:-}" ] && finished=VF-RESTART-NEXT
  verdict "$plan/complete" complete "qemu status $rc (124: timeout); console tail:" "$(cat "$log")"
  if [ "$finished" = VF-RESTART-NEXT ]; then
    after=$(sed -n '/^VF-RESTART-NEXT$/,$p' "$log")
    verdict nand2k/restart restarted "qemu status $rc; console after the marker:" "$after"
  fi
done
finish
