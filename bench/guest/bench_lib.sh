# shellcheck shell=dash
# The benchmark plans' common part: flashes the same kernel and initfs in
# several ways, a few rounds each, and prints one line per run:
#   VF-BENCH CHIP METHOD ROUND NANOSECONDS STATUS MAXRSS_KIB USER_US SYSTEM_US
# Round 0 warms up and is not counted. Each round starts one method later
# than the round before, so that a slow drift of the emulation spreads evenly.
#   tool   velkan-flasher -f -F with the container
#   signed the same images in a signed container, with the key in --keys
#   base   the same with /data/velkan-flasher.base, when it is there
#   mtd    the generic tools: flash_erase, nandwrite -p, nanddump, cmp
#   floor  vfbench floor: one system call per block erase and page transfer
#   seek   vfbench floor --seek: the same with an lseek before each transfer
# /data/bench.conf sets ROUNDS.
. /vf/lib.sh
BENCH=/data/vfbench
BASE=/data/velkan-flasher.base
ROUNDS=5
. /data/bench.conf

# bench_chip NAME PARTS: loads the chip (set by chip_2k or chip_512) with the
# partition sizes PARTS ("parts=K,I" in erase blocks) and runs the rounds.
bench_chip() {
  local chip=$1 round=0 methods m
  # shellcheck disable=SC2001 # a sed expression replaces one parameter
  CHIP=$(echo "$CHIP" | sed "s/parts=[0-9,]*/$2/")
  TEST=bench-$chip
  nand_load || return 1
  KIMG=/data/kernel-page$PAGE.bin
  IIMG=/data/initfs.bin
  printf 'product VF100\nhw-build A1\n' >"$T/component_version"
  info "bench $chip: partitions of $(cat /sys/class/mtd/mtd"$KNUM"/size) and" \
    "$(cat /sys/class/mtd/mtd"$INUM"/size) bytes, $PAGE-byte pages"
  methods="tool signed mtd floor seek"
  [ -x "$BASE" ] && methods="$methods base"
  while [ $round -le "$ROUNDS" ]; do
    for m in $methods; do
      bench_run "$chip" "$m" $round
    done
    # The next round starts with the second method of this one.
    methods="${methods#* } ${methods%% *}"
    round=$((round + 1))
  done
}

bench_run() {
  local chip=$1 method=$2 round=$3 line
  case $method in
  tool | base)
    local tool=$TOOL
    [ "$method" = base ] && tool=$BASE
    line=$(unshare -m /vf/inns.sh ident "$T" "$BENCH" time "$T/run.log" \
      "$tool" -f -F /data/bench.velkan)
    ;;
  signed)
    line=$(unshare -m /vf/inns.sh ident "$T" "$BENCH" time "$T/run.log" \
      "$TOOL" -f --keys /data/keys -F /data/bench-signed.velkan)
    ;;
  mtd)
    line=$("$BENCH" time "$T/run.log" sh /vf/bench_mtd.sh "$KDEV" "$KIMG" "$(size_of "$KIMG")" \
      "$IDEV" "$IIMG" "$(size_of "$IIMG")" "$T")
    rm -f "$T/kernel.dump" "$T/initfs.dump"
    ;;
  floor)
    line=$("$BENCH" time "$T/run.log" "$BENCH" floor "$KDEV" "$KIMG" "$IDEV" "$IIMG")
    ;;
  seek)
    line=$("$BENCH" time "$T/run.log" "$BENCH" floor --seek "$KDEV" "$KIMG" "$IDEV" "$IIMG")
    ;;
  esac
  [ -n "$line" ] || line="0 99 0 0 0"
  echo "VF-BENCH $chip $method $round $line"
  # shellcheck disable=SC2086 # the fields of the line
  set -- $line
  if [ "$2" != 0 ]; then
    sed -n '1,20p' "$T/run.log" | sed "s/^/VF-BENCH-LOG $chip $method: /"
  fi
}
