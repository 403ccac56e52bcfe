# shellcheck shell=dash
# Tests on the chip with 2048-byte pages, 128 KiB blocks and 64 OOB bytes:
# "kernel" is 16 blocks, "initfs" 128. Ends with a real restart (-R).
. /vf/check.sh
. /vf/run_sequence.sh
chip_2k
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"

# A container with a kernel and a JFFS2 initfs onto a clean chip. --check
# then shows each partition's ECC as sysfs tells it, and that the read-back
# gets the ECC's figures of each read from this kernel.
t_container() {
  nand_load || return
  flasher basic ident=VF100:A1 -f -F "$DATA/basic.velkan"
  expect_status 0
  expect_out_is "$FLASHED"
  expect_err_is ""
  expect_flashed kernel initfs "" ""
  flasher basic-check ident=VF100:A1 --check -F "$DATA/basic.velkan"
  expect_status 0
  local p m ecc=""
  for p in kernel:$KNUM initfs:$INUM; do
    m=/sys/class/mtd/mtd${p#*:}
    ecc="$ecc${ecc:+
}${p%:*}: ECC corrects $(cat $m/ecc_strength) bit(s) per $(cat $m/ecc_step_size) bytes, \
bit-flip threshold $(cat $m/bitflip_threshold); the read-back gets ECC figures per read (MEMREAD)"
  done
  expect_out_has "$ecc"
}

# Block 0 of the kernel partition and block 1 of the initfs partition (inside
# the image) are bad: the data moves on to the next good blocks. Again with
# --progress, its lines on a file and on a terminal.
t_bad_blocks() {
  nand_load badblocks=0,17 || return
  flasher bad ident=VF100:A1 -f -v -F "$DATA/basic.velkan"
  expect_status 0
  expect_out_has "Skipping bad block 0
Skipping bad block 1
Image(s) successfully flashed"
  expect_flashed kernel initfs 0 1
  flasher progress ident=VF100:A1 -f --progress -F "$DATA/basic.velkan"
  expect_status 0
  expect_out_is "$FLASHED"
  expect_progress "$T/progress.err" file
  mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
  vfhelper tty timeout 180 unshare -m /vf/inns.sh ident "$T" "$TOOL" -f --progress \
    -F "$DATA/basic.velkan" >"$T/tty.out" || bad "--progress on a terminal: status $?"
  expect_progress "$T/tty.out" terminal
  umount /dev/pts
  expect_flashed kernel initfs 0 1
}

# The last block of the kernel partition wears out while the image that needs
# it is being written.
t_out_of_good_blocks() {
  nand_load do_delays=1 || return
  vfhelper markbad-when "$KDEV" 'PIRL!img' $((KBLOCKS - 1)) >"$T/markbad.out" 2>&1 &
  local helper=$!
  flasher full ident=VF100:A1 -f -k "$DATA/kernel-full.bin"
  wait $helper || {
    bad "the helper could not mark the block bad"
    show helper "$T/markbad.out"
  }
  expect_status 1
  expect_err_has "Ran out of good blocks"
}

# Loose kernel and initfs files beside a container: the loose ones are
# flashed. Then -N reads and checks everything and leaves both partitions as
# they were, and with -R does not restart either; --flash-only kernel flashes
# the container's kernel and leaves the initfs as it was.
t_loose_files() {
  nand_load || return
  flasher loose ident=VF100:A1 -f -F "$DATA/basic.velkan" -k "$DATA/kernel-loose.bin" \
    -i "$DATA/initfs-loose.jffs2"
  expect_status 0
  expect_out_has "Image(s) successfully flashed"
  expect_flashed kernel-loose initfs-loose "" ""
  local r
  for r in "" -R; do
    snapshot before
    flasher "sim$r" ident=VF100:A1 -f -N $r -F "$DATA/basic.velkan"
    expect_status 0
    expect_out_is "$FLASHED (not!)${r:+
Rebooting...}"
    snapshot after
  done
  snapshot before
  flasher only ident=VF100:A1 -f -F "$DATA/basic.velkan" --flash-only kernel
  expect_status 0
  expect_out_is "Reading and flashing kernel image
Image(s) successfully flashed"
  expect_content "$KDEV" "$DATA/exp-kernel.bin"
  snapshot after initfs
}

# identity NAME PRODUCT:HW KERNEL ARGS...: with this device identity and the
# arguments, the variants' container puts exp-KERNEL.bin on the kernel
# partition. --check then names the images that velkan-pack check names for
# the identity the run goes by, and leaves the flash as it is.
identity() {
  local name=$1 id=$2 kernel=$3
  shift 3
  flasher "$name" "ident=$id" -f "$@" -F "$DATA/variants.velkan"
  expect_status 0
  expect_content "$KDEV" "$DATA/exp-$kernel.bin"
  snapshot before
  flasher "$name-check" "ident=$id" --check "$@" -F "$DATA/variants.velkan"
  expect_status 0
  while [ $# -gt 0 ]; do
    [ "$1" = -h ] && id=$2
    shift
  done
  expect_out_has "$(cat "$DATA/check-$id.txt")"
  snapshot after
}

# Kernel variants for two products; the device identity (or -h) picks one.
t_identity() {
  nand_load || return
  identity product-b VF200:B3 kernel-b
  identity product-a VF100:A1 kernel-a
  identity override VF100:A1 kernel-b -v -h VF200:B2
  expect_out_has "Using product code and HW revision override."
}

# fault NAME PARAMETERS [LINE]: a chip with this fault (nandsim's parameters)
# while the container is flashed: the run fails, with LINE on stderr.
fault() {
  nand_load "$2" || exit
  flasher "$1" ident=VF100:A1 -f -F "$DATA/basic.velkan"
  expect_status 1
  [ -z "${3:-}" ] || expect_err_has "$3"
}

# Faults of the chip while it is flashed. Last, a page that reads back
# corrupted, its ECC uncorrectable: the verify error of its block, then up to
# 15 of its bytes, and nothing else.
t_faults() {
  local lines others
  fault kernel-erase weakblocks=2:0 "MEMERASE (block 2): I/O error"
  fault kernel-write weakpages=$((PPB + 5)):0 "nand_write: write (around 0x00022800): I/O error"
  fault initfs-erase weakblocks=$((KBLOCKS + 3)):0 "MEMERASE (block 3): I/O error"
  expect_out_has "Reading and flashing initfs image"
  fault kernel-read gravepages=$((PPB + 5)):0 \
    "Verify error at 0x00020000: uncorrectable ECC error in block 1"
  lines=$(grep -c '^Verify error at 0x00022[89a-f][0-9a-f][0-9a-f]: 0x[0-9a-f][0-9a-f] instead of 0x[0-9a-f][0-9a-f]$' "$T/$RUN.err")
  others=$(grep -vc '^Verify error at ' "$T/$RUN.err")
  if [ "$lines" -lt 1 ] || [ "$lines" -gt 16 ] || [ "$others" != 0 ]; then
    bad "$RUN: expected 1 to 16 verify errors within the corrupted page"
    show stderr "$T/$RUN.err"
  fi
}

# Random single-bit flips on reads, which the ECC corrects, on a chip with a
# bad block in each partition: the read-back of a 12 MiB initfs image (the
# 2 MB kernel over and over) still verifies. The record of --report agrees
# with the chip and the flash: bad blocks, blocks erased, bytes written and
# the bit flips the kernel counted as corrected (in sysfs).
t_bitflips() {
  nand_load badblocks=1,$((KBLOCKS + 2)) bitflips=1 || return
  local k=$DATA/kernel-full.bin
  cat "$k" "$k" "$k" "$k" "$k" "$k" "$k" | head -c $((12 << 20)) >"$T/big.bin"
  k=/sys/class/mtd/mtd$KNUM/corrected_bits
  local i=/sys/class/mtd/mtd$INUM/corrected_bits
  set -- "$(cat "$k")" "$(cat "$i")"
  flasher flips ident=VF100:A1 -f -k "$DATA/kernel.bin" -i "$T/big.bin" --report "$T/flips.json"
  set -- $(($(cat "$k") - $1)) $(($(cat "$i") - $2))
  info "bitflips: $1 and $2 bits corrected on the tool's reads"
  [ $(($1 + $2)) -gt 0 ] || bad "no bit flip corrected: the record's ECC counts prove nothing"
  send_record flips "$(printf '{"status":0,"signal":null,"completed":["kernel","initfs"],"partitions":{"kernel":{"bad":[1],"good":%d,"length":%d,"corrected":%d},"initfs":{"bad":[2],"good":%d,"length":%d,"corrected":%d}}}' \
    $((KBLOCKS - 1)) "$(size_of "$DATA/exp-kernel.bin")" "$1" \
    $((IBLOCKS - 1)) "$(size_of "$T/big.bin")" "$2")" "$T/flips.json"
  expect_status 0
  expect_out_is "$FLASHED"
  expect_content "$KDEV" "$DATA/exp-kernel.bin"
  expect_content "$IDEV" "$T/big.bin"
  rm -f "$T/big.bin"
}

# refused NAME HOW MESSAGE ARGS...: the run fails with MESSAGE on stderr and
# nothing on stdout; --check fails with the same lines on stderr. The row
# nopart runs with "initfs" missing from the table.
refused() {
  local name=$1 how=$2 msg=$3
  shift 3
  cp "$T/mtd.table" "$T/mtd.saved"
  [ "$name" = nopart ] && sed -i 's/"initfs"/"rootfs"/' "$T/mtd.table"
  flasher "$name" "$how" -f "$@"
  expect_status 1
  expect_err_has "$msg"
  expect_out_is ""
  flasher "$name-check" "$how" --check "$@"
  expect_status 1
  expect_err_is "$(cat "$T/$name.err")"
  mv "$T/mtd.saved" "$T/mtd.table"
}

# The usage text; the checks before the first erase, which leave a seeded chip
# as it was: device identity, component selection, partitions, sizes, and a
# chip with 4096-byte pages in 256 KiB blocks where the tool would use
# 2048-byte pages. The row halfid reads the half identity written here.
t_preflight() {
  nand_load || return
  flasher usage noident
  expect_status 2
  expect_err_is "Nothing to do!"
  expect_out_has "Usage: velkan-flasher [OPTIONS]
  --flash-only <arg>            Flash only certain components"
  printf 'product VF100\nrelease 7\n' >"$T/component_version"
  dd if=/dev/zero of="$T/big.bin" bs=65536 count=272 2>/dev/null # 17 MiB: the initfs partition has 16
  seed
  snapshot before
  refused halfid ident "Unable to determine product type and/or HW revision." -F "$DATA/basic.velkan"
  refused none noident "/proc/component_version: No such file or directory" -F "$DATA/variants.velkan"
  refused nofit-kernel ident=VF200:B9 "No suitable kernel image found." -F "$DATA/variants.velkan"
  refused nofit ident=VF100:A1 "No suitable initfs image found." -F "$DATA/nofit-initfs.velkan"
  refused nopart ident=VF100:A1 "partition 'initfs' not found" -F "$DATA/basic.velkan"
  refused bigkernel ident=VF100:A1 "Image too big to fit partition" -F "$DATA/basic.velkan" \
    -k "$DATA/kernel-big.bin"
  refused biginitfs ident=VF100:A1 "Image too big to fit partition" -F "$DATA/basic.velkan" \
    --flash-only kernel -i "$T/big.bin"
  snapshot after
  rm -f "$T/big.bin"
  # shellcheck disable=SC2034 # read by nand_load
  CHIP="first_id_byte=0x98 second_id_byte=0xdc third_id_byte=0x90 fourth_id_byte=0x26 parts=4,4"
  nand_load || return
  local geometry
  geometry=$(cat "/sys/class/mtd/mtd$KNUM/writesize"):$(cat "/sys/class/mtd/mtd$KNUM/erasesize")
  [ "$geometry" = 4096:262144 ] || bad "4096-byte chip: writesize:erasesize $geometry"
  seed
  snapshot before
  refused page4k ident=VF100:A1 "Write size 4096 larger than the page size 2048" -F "$DATA/basic.velkan"
  snapshot after
}

# -K: the program "kelm" under /mnt/initfs is killed first, then every other
# program running from there; a "kelm" elsewhere is left alone. The run at
# -vv also says how many blocks it erases and bytes it programs.
t_kill() {
  nand_load || return
  mount -t tmpfs tmpfs /mnt/initfs || {
    bad "tmpfs on /mnt/initfs"
    return
  }
  mkdir -p /mnt/initfs/sbin /tmp/elsewhere
  local p pids=""
  for p in /mnt/initfs/kelm /mnt/initfs/sbin/daemon /tmp/elsewhere/kelm; do
    cp /vf/vfhelper $p
    $p &
    pids="$pids $!"
  done
  # shellcheck disable=SC2086 # kelm, daemon, the kelm elsewhere
  set -- $pids
  sleep 1
  flasher kill realproc -f -vv -K -h VF100:A1 -F "$DATA/basic.velkan"
  expect_status 0
  expect_out_has "Erase 16 blocks
Program $(size_of "$DATA/exp-kernel.bin") bytes
Killing initfs processes
Killing process $1: /mnt/initfs/kelm
Killing process $2: /mnt/initfs/sbin/daemon
Erase 128 blocks
Program $(size_of "$DATA/exp-initfs.bin") bytes"
  expect_out_lacks "Killing process $3:"
  expect_err_lacks "Timeout killing"
  kill -0 "$1" 2>/dev/null && bad "kill: kelm still runs"
  kill -0 "$2" 2>/dev/null && bad "kill: daemon still runs"
  kill -0 "$3" 2>/dev/null || bad "kill: the kelm outside /mnt/initfs is gone"
  # shellcheck disable=SC2086 # the three programs
  kill $pids 2>/dev/null
  wait
  expect_content "$IDEV" "$DATA/exp-initfs.bin"
  umount /mnt/initfs
}

run_tests chip container bad-blocks out-of-good-blocks loose-files identity faults bitflips \
  preflight kill integrity signing stops record
[ -z "$ONLY" ] || exit 0

# Last: a real restart. The tool's own lines go straight to the console; the
# host checks that the kernel restarts after "Rebooting...".
nand_load
echo "VF-RESTART-NEXT"
timeout 180 unshare -m /vf/inns.sh realproc "$T" "$TOOL" -f -R -h VF100:A1 -F "$DATA/basic.velkan" 2>&1
echo "VF-RESTART-RETURNED $?"
