#!/bin/bash
# Benchmarks velkan-flasher on the emulated ARM device and writes Markdown
# tables: a 2 MiB kernel and a 16 MiB initfs flashed by the tool from a
# container, by the generic tools (flash_erase, nandwrite -p, nanddump, cmp)
# and by the least work the kernel allows (vfbench floor, with and without a
# seek per page; bench/guest/vfbench.c), side by side in one boot per chip
# and clock, with the median of a few rounds and the ratios. Also: the device
# binary's size, peak memory, what opening a 32 MiB container reads (strace of
# the host build) and the time of the unit and emulated-device suites. The
# tables replace docs/benchmark.md (headed with the date, commit and machine)
# and are printed too.
#
#   bench/run.sh [--rounds N] [--chips "2k 512"] [--clock wall|icount|both]
#                    [--baseline FILE] [--no-suites]
#
# Clocks: "wall" is the guest's monotonic clock under plain TCG emulation:
# noisy, and system calls cost far more than on a real Cortex-A8. "icount"
# runs qemu with -icount shift=0, where the guest clock advances 1 ns per
# instruction executed: repeatable to a tenth of a percent, but blind to the
# cost of memory and of the emulation itself. Compare ratios within one run,
# never absolute times of different runs.
# --baseline FILE also runs another device binary of the tool (an older build,
# say) in the same rounds. --no-suites skips timing the test suites.
# Installs what it needs first (scripts/setup.sh: run as root on Debian 12).
# Logs and data stay in build/emu/bench/.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
. emu/lib.sh

# Every step that can fail names itself first, so that a failure says which.
step="start"
trap 'echo "bench: failed while $step (line $LINENO)" >&2' ERR

usage() {
  echo "usage: bench/run.sh [--rounds N] [--chips \"2k 512\"] [--clock wall|icount|both]" \
    "[--baseline FILE] [--no-suites]" >&2
  exit 2
}
rounds=5
chips="2k 512"
clocks="wall icount"
baseline=""
suites=1
while [ $# -gt 0 ]; do
  opt=$1
  shift
  if [ "$opt" = --no-suites ]; then
    suites=0
    continue
  fi
  if [ $# -eq 0 ] || [ -z "$1" ]; then
    usage
  fi
  case $opt in
  --rounds) rounds=$1 ;;
  --chips) chips=$1 ;;
  --clock)
    case $1 in
    wall | icount) clocks=$1 ;;
    both) clocks="wall icount" ;;
    *) usage ;;
    esac
    ;;
  --baseline) baseline=$1 ;;
  *) usage ;;
  esac
  shift
done
case $rounds in '' | *[!0-9]* | 0) usage ;; esac
for chip in $chips; do
  case $chip in 2k | 512) ;; *) usage ;; esac
done
if [ -n "$baseline" ] && [ ! -f "$baseline" ]; then
  echo "bench: no baseline binary $baseline" >&2
  exit 2
fi

out=$EMU_BUILD/bench
data=$out/data
rm -rf "$out"
mkdir -p "$data" "$out/host"

step="installing what the benchmark needs (scripts/setup.sh)"
scripts/setup.sh >&2
step="preparing the emulated device (guest software, device build, velkan-pack)"
emu_prepare >&2
step="building the host velkan-flasher for the strace step"
cmake --build --preset host --target velkan-flasher >/dev/null
emu_say "benchmark data"
step="making the benchmark data"
arm-linux-musleabihf-gcc -static -O2 -Wall -Wextra -Werror -isystem build/kernel-headers-armhf \
  -o "$data/vfbench" bench/guest/vfbench.c
echo "ROUNDS=$rounds" >"$data/bench.conf"
[ -z "$baseline" ] || install -m 755 "$baseline" "$data/velkan-flasher.base"

kernel_size=$((2 * 1024 * 1024))
initfs_size=$((16 * 1024 * 1024))
head -c "$kernel_size" /dev/urandom >"$data/kernel.bin"
head -c "$initfs_size" /dev/urandom >"$data/initfs.bin"
le32() {
  local v=$1 i
  for i in 0 8 16 24; do
    # shellcheck disable=SC2059 # the escape is built for printf
    printf "\\$(printf %03o $((v >> i & 255)))"
  done
}
# The kernel partition's contents: the boot header page (magic, 2, 0, the
# kernel's size, little-endian, zeros), then the kernel.
for page in 2048 512; do
  {
    printf 'PIRL!img'
    le32 2
    le32 0
    le32 "$kernel_size"
    head -c $((page - 20)) /dev/zero
    cat "$data/kernel.bin"
  } >"$data/kernel-page$page.bin"
done
emu_pack create "$data/bench.velkan" --release bench \
  "kernel=$data/kernel.bin" "initfs=$data/initfs.bin" >/dev/null
# The same images signed, and the public key that the device checks them with.
emu_pack create "$data/bench-signed.velkan" --release bench --sign tests/emu/keys/one.sec \
  "kernel=$data/kernel.bin" "initfs=$data/initfs.bin" >/dev/null
mkdir -p "$data/keys" && cp tests/emu/keys/one.pub "$data/keys/"
emu_initramfs "$data" "$out/initramfs.cpio.gz" bench/guest/*.sh

step="benchmarking on the emulated device"
for clock in $clocks; do
  qemu_args=""
  [ "$clock" = icount ] && qemu_args="-icount shift=0"
  for chip in $chips; do
    log=$out/bench$chip-$clock.log
    emu_say "booting the emulated device: bench$chip, $clock clock, $rounds rounds"
    rc=0
    EMU_QEMU_ARGS=$qemu_args emu_boot "$out/initramfs.cpio.gz" "bench$chip" "$log" 3600 || rc=$?
    if [ "$rc" -ne 0 ] || ! grep -q "^VF-END bench$chip" "$log"; then
      echo "bench: the bench$chip boot did not finish (qemu status $rc); console tail:" >&2
      tail -n 20 "$log" >&2
      exit 1
    fi
    grep '^VF-BENCH-LOG' "$log" >&2 || true
    grep '^VF-BENCH ' "$log" | sed "s/^/$clock /" >>"$out/results.txt" || true
  done
done

# Opening a 32 MiB container with -N and no component to flash: the reads on
# the container's descriptor (the headers only; the same descriptor serves the
# images' data, which a run that flashes reads later).
emu_say "opening a 32 MiB container under strace"
step="opening a 32 MiB container under strace"
head -c $((30 * 1024 * 1024)) /dev/urandom >"$out/host/initfs30.bin"
emu_pack create "$out/host/c32.velkan" --release bench \
  "kernel=$data/kernel.bin" "initfs=$out/host/initfs30.bin" >/dev/null
strace -qq -e trace=openat,open,read,close -o "$out/host/strace.txt" \
  build/host/velkan-flasher -f -N -h VF100:A1 --flash-only pirl -F "$out/host/c32.velkan" \
  >/dev/null 2>&1
read -r open_reads open_bytes < <(awk -v path="$out/host/c32.velkan" '
  fd == "" && /^open/ && index($0, "\"" path "\"") { sub(/.*= /, ""); fd = $0; next }
  fd != "" && $0 ~ "^close\\(" fd "\\)" { exit }
  fd != "" && $0 ~ "^read\\(" fd "," { n++; sub(/.*= /, ""); bytes += $0 }
  END { print n + 0, bytes + 0 }' "$out/host/strace.txt")

# Elapsed milliseconds of a command, its output in the file $1.
timed_ms() {
  local log=$1 start
  shift
  start=$(date +%s%N)
  "$@" >"$log" 2>&1 || {
    echo "bench: $* failed (see $log)" >&2
    exit 1
  }
  echo $((($(date +%s%N) - start) / 1000000))
}
seconds() { printf '%d.%d s' $(($1 / 1000)) $(($1 % 1000 / 100)); }

suite_rows=()
step="timing the test suites"
if [ "$suites" = 1 ]; then
  emu_say "unit suites"
  for preset in host armhf; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
    ms=$(timed_ms "$out/host/ctest-$preset.log" ctest --preset "$preset" -j2)
    count=$(grep -oE 'out of [0-9]+' "$out/host/ctest-$preset.log" | tail -1 | cut -d' ' -f3)
    suite_rows+=("| unit suite, $preset (ctest -j2) | $count tests, $(seconds "$ms") |")
  done
  emu_say "emulated-device suite"
  ms=$(timed_ms "$out/host/emu-suite.log" tests/emu/run.sh)
  count=$(grep -E '^[0-9]+ passed, 0 failed$' "$out/host/emu-suite.log" | cut -d' ' -f1)
  suite_rows+=("| emulated-device suite (tests/emu/run.sh) | $count tests, $(seconds "$ms") |")
fi

step="measuring the device binary"
arm-linux-gnueabihf-strip -o "$out/host/velkan-flasher.stripped" build/device/velkan-flasher
binary_size=$(stat -c %s "$out/host/velkan-flasher.stripped")

# --- the tables: docs/benchmark.md, replaced on every run ----------------------
step="writing the tables to docs/benchmark.md"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
if commit=$(git rev-parse --short HEAD 2>/dev/null); then
  git diff --quiet HEAD || commit="$commit with uncommitted changes"
else
  commit=unknown
fi
tables=$out/benchmark.md
{
echo "# Benchmark figures"
echo
echo "Written by bench/run.sh on $(date -u +%Y-%m-%d) at commit $commit;" \
  "host: $(nproc) x ${cpu:-unknown CPU}; qemu-system-arm" \
  "$(qemu-system-arm --version | sed -n '1s/.*version \([^ ]*\).*/\1/p'), cortex-a15," \
  "$(cat "$EMU_CACHE/kernel-package"), nandsim${baseline:+; baseline $baseline}." \
  "What is measured and how to read it: [design.md](design.md#benchmark)."
echo
echo "2 MiB kernel and 16 MiB initfs; seconds, median of $rounds rounds (min-max)"
echo
awk '
  function median(list, n,   a, i, j, t) {
    split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  # clock VF-BENCH chip method round ns status maxrss user sys
  $5 > 0 {
    row = $1 " " $3; key = row " " $4
    if (!(row in rows)) { rows[row] = 1; order[++nrows] = row }
    if ($4 == "base") based = 1
    if ($7 != 0) failed[key] = 1
    if ($8 > rss[$3 " " $4]) rss[$3 " " $4] = $8
    if (!(key in lo) || $6 < lo[key]) lo[key] = $6
    if ($6 > hi[key]) hi[key] = $6
    times[key] = times[key] " " $6; count[key]++
  }
  function cell(key) {
    if (failed[key]) return "FAILED"
    return sprintf("%.3f (%.3f-%.3f)", med[key] / 1e9, lo[key] / 1e9, hi[key] / 1e9)
  }
  function ratio(a, b) { return (failed[a] || failed[b]) ? "-" : sprintf("%.2f", med[a] / med[b]) }
  function chip(row,   f) { split(row, f, " "); return (f[2] == "2k" ? 2048 : f[2]) "-byte pages" }
  function clock(row,   f) { split(row, f, " "); return f[1] }
  END {
    for (key in times) med[key] = median(times[key], count[key])
    print "| clock | chip | velkan-flasher | mtd-utils | floor | floor with seeks | tool / mtd-utils | tool / floor | tool / floor with seeks |"
    print "|---|---|---|---|---|---|---|---|---|"
    for (r = 1; r <= nrows; r++) {
      t = order[r] " tool"; m = order[r] " mtd"; fl = order[r] " floor"; s = order[r] " seek"
      printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", clock(order[r]), chip(order[r]),
        cell(t), cell(m), cell(fl), cell(s), ratio(t, m), ratio(t, fl), ratio(t, s)
    }
    if (based) {
      print ""
      print "| clock | chip | baseline | velkan-flasher | tool / baseline | baseline / mtd-utils | baseline / floor | baseline / floor with seeks |"
      print "|---|---|---|---|---|---|---|---|"
      for (r = 1; r <= nrows; r++) {
        b = order[r] " base"; t = order[r] " tool"; m = order[r] " mtd"; fl = order[r] " floor"; s = order[r] " seek"
        printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", clock(order[r]), chip(order[r]),
          cell(b), cell(t), ratio(t, b), ratio(b, m), ratio(b, fl), ratio(b, s)
      }
    }
    print ""
    print "| clock | chip | unsigned | signed, checked with a key | signed / unsigned |"
    print "|---|---|---|---|---|"
    for (r = 1; r <= nrows; r++) {
      t = order[r] " tool"; g = order[r] " signed"
      printf "| %s | %s | %s | %s | %s |\n", clock(order[r]), chip(order[r]), cell(t), cell(g), ratio(g, t)
    }
    print ""
    print "| peak RSS, KiB | velkan-flasher | mtd-utils | floor |"
    print "|---|---|---|---|"
    for (r = 1; r <= nrows; r++) {
      split(order[r], parts, " ")
      if (done[parts[2]]++) continue
      printf "| %s | %d | %d | %d |\n", chip(order[r]), rss[parts[2] " tool"], rss[parts[2] " mtd"], rss[parts[2] " floor"]
    }
  }' "$out/results.txt"
echo
echo "| other | |"
echo "|---|---|"
echo "| device binary (static, musl, stripped) | $binary_size bytes |"
echo "| opening a 32 MiB container (host build, -N) | $open_reads reads, $open_bytes bytes |"
for row in "${suite_rows[@]}"; do
  echo "$row"
done
} >"$tables"
cp "$tables" docs/benchmark.md
echo
cat docs/benchmark.md
