# shellcheck shell=dash
# Tests on the chip with 2048-byte pages, 128 KiB blocks and 64 OOB bytes:
# "kernel" is 16 blocks, "initfs" 128. Ends with a real restart (-R).
. /vf/check.sh
chip_2k
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"

# A container with a kernel and a JFFS2 initfs onto a clean chip.
t_container() {
  nand_load || return
  flasher ident=VF100:A1 basic -f -F "$DATA/basic.velkan"
  expect basic 0 "out=$FLASHED" err=
  expect_flashed kernel initfs "" ""
}

# Block 0 of the kernel partition and block 1 of the initfs partition (inside
# the image) are bad: the data moves on to the next good blocks. Again with
# --progress, its lines on a file and on a terminal.
t_bad_blocks() {
  nand_load badblocks=0,17 || return
  flasher ident=VF100:A1 bad -f -v -F "$DATA/basic.velkan"
  expect bad 0 "out:Skipping bad block 0
Skipping bad block 1
Image(s) successfully flashed"
  expect_flashed kernel initfs 0 1
  flasher ident=VF100:A1 progress -f --progress -F "$DATA/basic.velkan"
  expect progress 0 "out=$FLASHED"
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
  flasher ident=VF100:A1 full -f -k "$DATA/kernel-full.bin"
  wait $helper || {
    bad "the helper could not mark the block bad"
    show helper "$T/markbad.out"
  }
  expect full 1 "err:Ran out of good blocks"
}

# Loose kernel and initfs files beside a container: the loose ones are
# flashed. Then -N reads and checks everything and leaves both partitions as
# they were, and with -R does not restart either; --flash-only kernel flashes
# the container's kernel and leaves the initfs as it was.
t_loose_files() {
  nand_load || return
  flasher ident=VF100:A1 loose -f -F "$DATA/basic.velkan" -k "$DATA/kernel-loose.bin" \
    -i "$DATA/initfs-loose.jffs2"
  expect loose 0 "out:Image(s) successfully flashed"
  expect_flashed kernel-loose initfs-loose "" ""
  local r
  for r in "" -R; do
    snapshot before
    flasher ident=VF100:A1 sim -f -N $r -F "$DATA/basic.velkan"
    expect sim 0 "out=$FLASHED (not!)${r:+
Rebooting...}"
    snapshot after
  done
  snapshot before
  flasher ident=VF100:A1 only -f -F "$DATA/basic.velkan" --flash-only kernel
  expect only 0 "out=Reading and flashing kernel image
Image(s) successfully flashed"
  expect_content "$KDEV" "$DATA/exp-kernel.bin"
  snapshot after initfs
}

# Kernel variants for two products; the device identity (or -h) picks one:
# IDENTITY|ARGUMENTS|CHECK|KERNEL. --check then names the images that
# velkan-pack check names for that identity, and leaves the flash as it is.
t_identity() {
  nand_load || return
  local id args check kernel
  while IFS='|' read -r id args check kernel; do
    # shellcheck disable=SC2086 # the arguments are words
    flasher "ident=$id" id -f $args -F "$DATA/variants.velkan"
    expect id 0 ${check:+"$check"}
    expect_content "$KDEV" "$DATA/exp-$kernel.bin"
    snapshot before
    # shellcheck disable=SC2086 # the arguments are words
    flasher "ident=$id" check --check $args -F "$DATA/variants.velkan"
    case $args in *-h*) id=${args##*-h } ;; esac
    expect check 0 "out:$(cat "$DATA/check-$id.txt")"
    snapshot after
  done <<EOF
VF200:B3|||kernel-b
VF100:A1|||kernel-a
VF100:A1|-v -h VF200:B2|out:Using product code and HW revision override.|kernel-b
EOF
}

# Faults of the chip while it is flashed: each run ends with its line
# (PARAMETERS|CHECK). Last, a page that reads back corrupted: 1 to 16 verify
# errors within it and nothing else.
t_faults() {
  local params check lines others
  while IFS='|' read -r params check; do
    nand_load "$params" || return
    flasher ident=VF100:A1 fault -f -F "$DATA/basic.velkan"
    expect fault 1 ${check:+"$check"}
  done <<EOF
weakblocks=2:0|err:MEMERASE (block 2): I/O error
weakpages=$((PPB + 5)):0|err:nand_write: write (around 0x00022800): I/O error
gravepages=$((PPB + 5)):0|
EOF
  lines=$(grep -c '^Verify error at 0x00022[89a-f][0-9a-f][0-9a-f]: 0x[0-9a-f][0-9a-f] instead of 0x[0-9a-f][0-9a-f]$' "$T/fault.err")
  others=$(grep -vc '^Verify error at ' "$T/fault.err")
  if [ "$lines" -lt 1 ] || [ "$lines" -gt 16 ] || [ "$others" != 0 ]; then
    bad "read: expected 1 to 16 verify errors within the corrupted page"
    show stderr "$T/fault.err"
  fi
}

# Random single-bit flips on reads, which the ECC corrects, on a chip with a
# bad block in each partition: the read-back of a 12 MiB initfs image still
# verifies. The record of --report agrees with the chip and the flash: bad
# blocks, blocks erased, bytes written and the bit flips that the kernel
# counts as corrected.
t_bitflips() {
  nand_load badblocks=1,$((KBLOCKS + 2)) bitflips=1 || return
  dd if=/dev/urandom of="$T/big.bin" bs=1024 count=12288 2>/dev/null
  local k=/sys/class/mtd/mtd$KNUM/corrected_bits i=/sys/class/mtd/mtd$INUM/corrected_bits
  set -- "$(cat "$k")" "$(cat "$i")"
  flasher ident=VF100:A1 flips -f -k "$DATA/kernel.bin" -i "$T/big.bin" --report "$T/flips.json"
  set -- $(($(cat "$k") - $1)) $(($(cat "$i") - $2))
  info "bitflips: $1 and $2 bits corrected on the tool's reads"
  [ $(($1 + $2)) -gt 0 ] || bad "no bit flip corrected: the record's ECC counts prove nothing"
  send_record flips "$(printf '{"status":0,"signal":null,"completed":["kernel","initfs"],"partitions":{"kernel":{"bad":[1],"good":%d,"length":%d,"corrected":%d},"initfs":{"bad":[2],"good":%d,"length":%d,"corrected":%d}}}' \
    $((KBLOCKS - 1)) "$(size_of "$DATA/exp-kernel.bin")" "$1" \
    $((IBLOCKS - 1)) "$(size_of "$T/big.bin")" "$2")" "$T/flips.json"
  expect flips 0 "out=$FLASHED"
  expect_content "$KDEV" "$DATA/exp-kernel.bin"
  expect_content "$IDEV" "$T/big.bin"
  rm -f "$T/big.bin"
}

# refused: runs the rows HOW|NAME|MESSAGE|ARGUMENTS on a seeded chip: each
# fails with its message on stderr and nothing on stdout, --check with the
# same lines on stderr, and both partitions stay as they were. The row nopart
# runs with "initfs" missing from the table.
refused() {
  seed
  snapshot before
  local how name msg args
  while IFS='|' read -r how name msg args; do
    cp "$T/mtd.table" "$T/mtd.saved"
    [ "$name" = nopart ] && sed -i 's/"initfs"/"rootfs"/' "$T/mtd.table"
    # shellcheck disable=SC2086 # the arguments are words
    flasher "$how" "$name" -f $args
    expect "$name" 1 "err:$msg" out=
    # shellcheck disable=SC2086 # the arguments are words
    flasher "$how" "$name-check" --check $args
    expect "$name-check" 1 "err=$(cat "$T/$name.err")"
    mv "$T/mtd.saved" "$T/mtd.table"
  done
  snapshot after
}

# The usage text; the checks before the first erase: device identity,
# component selection, partitions, sizes, and a chip with 4096-byte pages in
# 256 KiB blocks where the tool would use 2048-byte pages. The row halfid
# reads the half identity written here.
t_preflight() {
  nand_load || return
  flasher noident usage
  expect usage 2 "err=Nothing to do!" "out:Usage: velkan-flasher [OPTIONS]
  --flash-only <arg>            Flash only certain components"
  printf 'product VF100\nrelease 7\n' >"$T/component_version"
  dd if=/dev/zero of="$T/big.bin" bs=65536 count=272 2>/dev/null # 17 MiB: the initfs partition has 16
  refused <<EOF
ident|halfid|Unable to determine product type and/or HW revision.|-F $DATA/basic.velkan
noident|none|/proc/component_version: No such file or directory|-F $DATA/variants.velkan
ident=VF200:B9|nofit-kernel|No suitable kernel image found.|-F $DATA/variants.velkan
ident=VF100:A1|nofit|No suitable initfs image found.|-F $DATA/nofit-initfs.velkan
ident=VF100:A1|nopart|partition 'initfs' not found|-F $DATA/basic.velkan
ident=VF100:A1|bigkernel|Image too big to fit partition|-F $DATA/basic.velkan -k $DATA/kernel-big.bin
ident=VF100:A1|biginitfs|Image too big to fit partition|-F $DATA/basic.velkan --flash-only kernel -i $T/big.bin
EOF
  rm -f "$T/big.bin"
  # shellcheck disable=SC2034 # read by nand_load
  CHIP="first_id_byte=0x98 second_id_byte=0xdc third_id_byte=0x90 fourth_id_byte=0x26 parts=4,4"
  nand_load || return
  local geometry
  geometry=$(cat "/sys/class/mtd/mtd$KNUM/writesize"):$(cat "/sys/class/mtd/mtd$KNUM/erasesize")
  [ "$geometry" = 4096:262144 ] || bad "4096-byte chip: writesize:erasesize $geometry"
  echo "ident=VF100:A1|page4k|Write size 4096 larger than the page size 2048|-F $DATA/basic.velkan" | refused
}

# A hang-up and a stop request while the initfs is written (slowly): the
# hang-up is ignored, the stop waits until the initfs is verified and marked,
# and the record's last event says so.
t_signals() {
  nand_load do_delays=1 programm_delay=2000 || return
  flasher ident=VF100:A1 sig -f -F "$DATA/basic.velkan" --report "$T/sig.json" &
  local run=$! pid=""
  while [ -z "$pid" ] && kill -0 $run 2>/dev/null; do pid=$(pidof velkan-flasher); done
  vfhelper kill-when "$IDEV" "$(head -c 4 "$DATA/exp-initfs.bin")" "$pid" 1 15 ||
    bad "no signal sent"
  wait $run
  expect sig 143 "err:Stopped by signal 15 (Terminated); partitions completed: kernel, initfs"
  send_record sig '{"status":143,"signal":15,"completed":["kernel","initfs"]}' "$T/sig.json"
  expect_content "$IDEV" "$DATA/exp-initfs.bin"
  expect_markers "$IDEV" yes ""
}

# -K: the program "kelm" under /mnt/initfs is killed first, then every other
# program running from there; a "kelm" elsewhere is left alone.
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
  flasher realproc kill -f -vv -K -h VF100:A1 -F "$DATA/basic.velkan"
  expect kill 0 "out:Killing initfs processes
Killing process $1: /mnt/initfs/kelm
Killing process $2: /mnt/initfs/sbin/daemon
Erase 128 blocks" "out!Killing process $3:" "err!Timeout killing"
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
  preflight signals kill
[ -z "$ONLY" ] || exit 0

# Last: a real restart. The tool's own lines go straight to the console; the
# host checks that the kernel restarts after "Rebooting...".
nand_load
echo "VF-RESTART-NEXT"
timeout 180 unshare -m /vf/inns.sh realproc "$T" "$TOOL" -f -R -h VF100:A1 -F "$DATA/basic.velkan" 2>&1
echo "VF-RESTART-RETURNED $?"
