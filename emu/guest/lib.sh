# shellcheck shell=dash
# The emulated device's guest side (busybox sh): the simulated chip, running
# the tool in a namespace of its own and dumping partitions. Sourced by every
# guest plan.
#
# Console protocol read by the host:
#   VF-RESULT PASS name | VF-RESULT FAIL name   one per test
#   VF-DETAIL name: text                         why something failed
#   VF-INFO text                                 anything else worth seeing

DATA=/data
T=/tmp/vf
TOOL=/vf/velkan-flasher
MODS=/modules
mkdir -p "$T"

# Chip geometry: set by chip_2k or chip_512 before nand_load.
CHIP=
PAGE=
OOB=
PPB=
FREE_OFF=
FREE_LEN=
MARKER=8519032008000000

chip_2k() {
  CHIP="first_id_byte=0x20 second_id_byte=0xaa third_id_byte=0x00 fourth_id_byte=0x15 parts=16,128"
  PAGE=2048 OOB=64 PPB=64 FREE_OFF=2 FREE_LEN=38
  KBLOCKS=16 IBLOCKS=128 BLOCK=131072
}

chip_512() {
  CHIP="first_id_byte=0x20 second_id_byte=0x75 parts=64,512"
  PAGE=512 OOB=16 PPB=32 FREE_OFF=8 FREE_LEN=8
  KBLOCKS=64 IBLOCKS=512 BLOCK=16384
}

info() { echo "VF-INFO $*"; }

bad() {
  echo "VF-DETAIL $TEST: $*"
  : >"$T/failed"
}

# Shows a file's lines as details (for a failing test).
show() {
  local label=$1 file=$2
  [ -s "$file" ] || return 0
  sed -n '1,40p' "$file" | while IFS= read -r line; do
    echo "VF-DETAIL $TEST: $label| $line"
  done
}

# --- the simulated chip -------------------------------------------------------

# nand_load [nandsim fault parameters...]: a fresh chip (all erased), its two
# first partitions named "kernel" and "initfs" in $T/mtd.table.
nand_load() {
  umount /mnt/check 2>/dev/null
  rmmod nandsim 2>/dev/null
  # shellcheck disable=SC2086
  if ! insmod "$MODS/nandsim.ko" $CHIP "$@"; then
    bad "insmod nandsim $*"
    return 1
  fi
  KNUM=$(sed -n 's/^mtd\([0-9]*\): .*"NAND simulator partition 0"$/\1/p' /proc/mtd)
  INUM=$(sed -n 's/^mtd\([0-9]*\): .*"NAND simulator partition 1"$/\1/p' /proc/mtd)
  if [ -z "$KNUM" ] || [ -z "$INUM" ]; then
    bad "nandsim partitions missing from /proc/mtd"
    return 1
  fi
  KDEV=/dev/mtd$KNUM
  IDEV=/dev/mtd$INUM
  sed -e 's/"NAND simulator partition 0"/"kernel"/' \
    -e 's/"NAND simulator partition 1"/"initfs"/' /proc/mtd >"$T/mtd.table"
}

# --- running the tool -----------------------------------------------------------

# flasher NAME HOW ARGS...: runs the tool in a mount namespace of its own, with
# stdout, stderr and status in $T/NAME.out, .err and .rc; NAME becomes $RUN,
# the run that the checks read. HOW:
#   ident=PRODUCT:HW  /proc is a tmpfs with "component_version" and "mtd"
#   ident             the same with $T/component_version as it stands
#   noident           /proc is a tmpfs with "mtd" only
#   realproc          the real /proc with the table bound over /proc/mtd
flasher() {
  RUN=$1
  local how=$2
  shift 2
  case $how in
  ident) ;; # $T/component_version as the test wrote it
  ident=*)
    local id=${how#ident=}
    printf 'product %s\nhw-build %s\n' "${id%%:*}" "${id#*:}" >"$T/component_version"
    how=ident
    ;;
  esac
  timeout 180 unshare -m /vf/inns.sh "$how" "$T" "$TOOL" "$@" >"$T/$RUN.out" 2>"$T/$RUN.err"
  echo $? >"$T/$RUN.rc"
  # Every failure says why.
  if [ "$(cat "$T/$RUN.rc")" = 1 ] && [ ! -s "$T/$RUN.err" ]; then
    bad "$RUN: status 1 with nothing on stderr"
  fi
}

# flasher_on_path: "velkan-flasher" on PATH for the update front ends, a shim
# that runs the tool as "flasher NAME ident" does (the identity in
# $T/component_version, the partition table), and the front ends' /usr/bin.
flasher_on_path() {
  mkdir -p "$T/bin"
  printf '#!/bin/sh\nexec unshare -m /vf/inns.sh ident %s %s "$@"\n' "$T" "$TOOL" \
    >"$T/bin/velkan-flasher"
  chmod 755 "$T/bin/velkan-flasher"
  export PATH="$T/bin:/usr/bin:$PATH"
}

# --- flash contents ---------------------------------------------------------

# dump DEV FILE [--oob]: every good block of the partition, bad blocks left out
# (with --oob: every block, bad ones as 0xFF, each page followed by its OOB).
# The dump's checksum goes to the console ("VF-DUMP test run file device
# md5"), where two builds of the tool can be compared.
dump() {
  local dev=$1 file=$2
  shift 2
  if [ "$1" = --oob ]; then
    nanddump -q --oob --bb=padbad -f "$file" "$dev" 2>"$T/nanddump.err"
  else
    nanddump -q --bb=skipbad -f "$file" "$dev" 2>"$T/nanddump.err"
  fi || {
    bad "nanddump $dev failed"
    show nanddump "$T/nanddump.err"
  }
  echo "VF-DUMP ${TEST:-} ${RUN:--} ${file##*/} $dev $(md5sum <"$file" | cut -d' ' -f1)"
}

size_of() { stat -c %s "$1"; }

# --- the demos ---------------------------------------------------------------

# say TEXT: a step's heading.
say() { printf '\n== %s\n' "$*"; }

# demo_flashed STATUS: the flash's status, for the reader and the host; the
# demo ends unless it is 0. Then both partitions with their OOB bytes, as
# checksums for the host's record.
demo_flashed() {
  echo "exit status $1"
  echo "VF-DEMO-STATUS $1"
  [ "$1" -eq 0 ] || exit 1
  dump "$KDEV" "$T/kernel.dump" --oob
  dump "$IDEV" "$T/initfs.dump" --oob
  rm -f "$T"/*.dump
}
