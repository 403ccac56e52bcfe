# shellcheck shell=dash
# Tests on the chip with 2048-byte pages, 128 KiB blocks and 64 OOB bytes:
# "kernel" is 16 blocks, "initfs" 128. Ends with a real restart (-R).
. /vf/check.sh
chip_2k
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"

# The device binary's usage text and device identity handling.
t_cli() {
  nand_load || return
  flasher noident usage
  expect_rc usage 2
  expect_lines usage err "Nothing to do!"
  expect_line usage out "Usage: velkan-flasher [OPTIONS]"
  expect_line usage out "  --flash-only <arg>            Flash only certain components"

  printf 'product VF100\nrelease 7\n' >"$T/component_version"
  flasher ident halfid -f -F "$DATA/basic.velkan"
  expect_failed_run halfid "Unable to determine product type and/or HW revision."
  expect_lines halfid out
}

# A container with a kernel and a JFFS2 initfs onto a clean chip.
t_container() {
  nand_load || return
  flasher ident=VF100:A1 basic -f -F "$DATA/basic.velkan"
  expect_rc basic 0
  expect_lines basic out "Reading and flashing kernel image" \
    "Reading and flashing initfs image" "Image(s) successfully flashed"
  expect_lines basic err
  expect_flashed kernel initfs tree "" ""
}

# Block 0 of the kernel partition and block 1 of the initfs partition (inside
# the image) are bad: the data moves on to the next good blocks.
t_bad_blocks() {
  nand_load badblocks=0,17 || return
  flasher ident=VF100:A1 bad -f -v -F "$DATA/basic.velkan"
  expect_rc bad 0
  expect_line bad out "Skipping bad block 0"
  expect_line bad out "Skipping bad block 1"
  expect_line bad out "Image(s) successfully flashed"
  expect_flashed kernel initfs tree 0 1
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
  expect_failed_run full "Ran out of good blocks"
}

# Loose kernel and initfs files beside a container: the loose ones are flashed.
t_loose_files() {
  nand_load || return
  flasher ident=VF100:A1 loose -f -F "$DATA/basic.velkan" -k "$DATA/kernel-loose.bin" \
    -i "$DATA/initfs-loose.jffs2"
  expect_rc loose 0
  expect_line loose out "Image(s) successfully flashed"
  expect_flashed kernel-loose initfs-loose tree-loose "" ""

  # --flash-only kernel: the container's kernel, the initfs left as it was.
  dump "$IDEV" "$T/before.initfs" --oob
  flasher ident=VF100:A1 only -f -F "$DATA/basic.velkan" --flash-only kernel
  expect_rc only 0
  expect_lines only out "Reading and flashing kernel image" "Image(s) successfully flashed"
  expect_content "$KDEV" "$DATA/exp-kernel.bin"
  dump "$IDEV" "$T/after.initfs" --oob
  cmp -s "$T/before.initfs" "$T/after.initfs" || bad "--flash-only kernel changed the initfs"
  rm -f "$T/before.initfs" "$T/after.initfs"
}

# -N reads and checks everything and leaves both partitions as they were;
# with -R it does not restart either.
t_simulate() {
  nand_load || return
  flasher ident=VF100:A1 first -f -F "$DATA/basic.velkan" -k "$DATA/kernel-loose.bin" \
    -i "$DATA/initfs-loose.jffs2"
  expect_rc first 0
  snapshot before
  flasher ident=VF100:A1 sim -f -N -F "$DATA/basic.velkan"
  expect_rc sim 0
  expect_lines sim out "Reading and flashing kernel image" \
    "Reading and flashing initfs image" "Image(s) successfully flashed (not!)"
  snapshot after
  expect_same_snapshot before after

  snapshot before
  flasher ident=VF100:A1 simr -f -N -R -F "$DATA/basic.velkan"
  expect_rc simr 0
  expect_lines simr out "Reading and flashing kernel image" \
    "Reading and flashing initfs image" "Image(s) successfully flashed (not!)" "Rebooting..."
  snapshot after
  expect_same_snapshot before after
}

# Kernel variants for two products; the device identity picks one.
t_identity() {
  nand_load || return
  flasher ident=VF200:B3 b -f -F "$DATA/variants.velkan"
  expect_rc b 0
  expect_content "$KDEV" "$DATA/exp-kernel-b.bin"

  flasher ident=VF100:A1 a -f -F "$DATA/variants.velkan"
  expect_rc a 0
  expect_content "$KDEV" "$DATA/exp-kernel-a.bin"

  flasher ident=VF100:A1 override -f -v -h VF200:B2 -F "$DATA/variants.velkan"
  expect_rc override 0
  expect_line override out "Using product code and HW revision override."
  expect_content "$KDEV" "$DATA/exp-kernel-b.bin"

  flasher ident=VF200:B9 nofit -f -F "$DATA/variants.velkan"
  expect_failed_run nofit "No suitable kernel image found."
  expect_content "$KDEV" "$DATA/exp-kernel-b.bin"

  snapshot before
  flasher noident none -f -F "$DATA/variants.velkan"
  expect_failed_run none "/proc/component_version: No such file or directory"
  expect_lines none out
  snapshot after
  expect_same_snapshot before after
}

# Faults of the chip while it is flashed: each run ends with its line.
t_faults() {
  local params msg
  while IFS='|' read -r params msg; do
    nand_load "$params" || return
    flasher ident=VF100:A1 fault -f -F "$DATA/basic.velkan"
    expect_failed_run fault "$msg"
  done <<EOF
weakblocks=2:0|MEMERASE (block 2): I/O error
weakpages=$((PPB + 5)):0|nand_write: write (around 0x00022800): I/O error
EOF
}

t_read_fails() {
  nand_load gravepages=$((PPB + 5)):0 || return
  flasher ident=VF100:A1 read -f -F "$DATA/basic.velkan"
  expect_failed_run read
  local lines others
  lines=$(grep -c '^Verify error at 0x00022[89a-f][0-9a-f][0-9a-f]: 0x[0-9a-f][0-9a-f] instead of 0x[0-9a-f][0-9a-f]$' "$T/read.err")
  others=$(grep -vc '^Verify error at ' "$T/read.err")
  if [ "$lines" -lt 1 ] || [ "$lines" -gt 16 ] || [ "$others" != 0 ]; then
    bad "read: expected 1 to 16 verify errors within the corrupted page"
    show stderr "$T/read.err"
  fi
}

# Random single-bit flips on reads, which the ECC corrects: the read-back of a
# 12 MiB initfs image still verifies.
t_bitflips() {
  nand_load bitflips=1 || return
  dd if=/dev/urandom of="$T/big.bin" bs=1024 count=12288 2>/dev/null
  dmesg -c >/dev/null
  flasher ident=VF100:A1 flips -f -i "$T/big.bin"
  info "bitflips: $(dmesg | grep -c 'flipping bit') bits flipped on the tool's reads"
  expect_rc flips 0
  expect_lines flips out "Reading and flashing initfs image" "Image(s) successfully flashed"
  expect_content "$IDEV" "$T/big.bin"
  rm -f "$T/big.bin"
}

# Checks before the first erase: each run ends with its line before anything
# is flashed, and both partitions stay as they were.
t_preflight() {
  nand_load || return
  seed
  dd if=/dev/zero of="$T/big.bin" bs=65536 count=272 2>/dev/null # 17 MiB: the initfs partition has 16
  snapshot before
  local name msg args
  while IFS='|' read -r name msg args; do
    cp "$T/mtd.table" "$T/mtd.saved"
    [ "$name" = nopart ] && sed -i 's/"initfs"/"rootfs"/' "$T/mtd.table"
    # shellcheck disable=SC2086 # the arguments are words
    flasher ident=VF100:A1 "$name" -f $args
    expect_failed_run "$name" "$msg"
    expect_lines "$name" out
    mv "$T/mtd.saved" "$T/mtd.table"
  done <<EOF
nofit|No suitable initfs image found.|-F $DATA/nofit-initfs.velkan
nopart|partition 'initfs' not found|-F $DATA/basic.velkan
bigkernel|Image too big to fit partition|-F $DATA/basic.velkan -k $DATA/kernel-big.bin
biginitfs|Image too big to fit partition|-F $DATA/basic.velkan --flash-only kernel -i $T/big.bin
EOF
  rm -f "$T/big.bin"
  snapshot after
  expect_same_snapshot before after

  # A chip with 4096-byte pages in 256 KiB blocks, where the tool would use
  # 2048-byte pages: refused before any erase.
  # shellcheck disable=SC2034 # read by nand_load
  CHIP="first_id_byte=0x98 second_id_byte=0xdc third_id_byte=0x90 fourth_id_byte=0x26 parts=4,4"
  nand_load || return
  local geometry
  geometry=$(cat "/sys/class/mtd/mtd$KNUM/writesize"):$(cat "/sys/class/mtd/mtd$KNUM/erasesize")
  [ "$geometry" = 4096:262144 ] || bad "4096-byte chip: writesize:erasesize $geometry"
  seed
  snapshot before
  flasher ident=VF100:A1 page4k -f -F "$DATA/basic.velkan"
  expect_failed_run page4k "Write size 4096 larger than the page size 2048"
  snapshot after
  expect_same_snapshot before after
}

# A hang-up and a stop request while the initfs is written (slowly): the
# hang-up is ignored, the stop waits until the initfs is verified and marked.
t_signals() {
  nand_load do_delays=1 programm_delay=2000 || return
  flasher ident=VF100:A1 sig -f -F "$DATA/basic.velkan" &
  local run=$! pid=""
  while [ -z "$pid" ] && kill -0 $run 2>/dev/null; do pid=$(pidof velkan-flasher); done
  vfhelper kill-when "$IDEV" "$(head -c 4 "$DATA/exp-initfs.bin")" "$pid" 1 15 ||
    bad "no signal sent"
  wait $run
  expect_rc sig 143
  expect_line sig err "Stopped by signal 15 (Terminated); partitions completed: kernel, initfs"
  expect_no_line sig out "Image(s) successfully flashed"
  expect_content "$IDEV" "$DATA/exp-initfs.bin"
  expect_markers "$IDEV" "$IBLOCKS" yes ""
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
  cp /vf/vfhelper /mnt/initfs/sbin/daemon
  cp /vf/vfhelper /mnt/initfs/kelm
  cp /vf/vfhelper /tmp/elsewhere/kelm
  /mnt/initfs/sbin/daemon &
  local daemon=$!
  /tmp/elsewhere/kelm &
  local outside=$!
  /mnt/initfs/kelm &
  local kelm=$!
  sleep 1
  flasher realproc kill -f -vv -K -h VF100:A1 -F "$DATA/basic.velkan"
  expect_rc kill 0
  expect_line kill out "Killing initfs processes"
  local k d r
  k=$(line_no kill out "Killing process $kelm: /mnt/initfs/kelm")
  d=$(line_no kill out "Killing process $daemon: /mnt/initfs/sbin/daemon")
  r=$(line_no kill out "Reading initfs image")
  if [ "$k" = 0 ] || [ "$d" = 0 ] || [ "$k" -ge "$d" ] || [ "$d" -ge "$r" ]; then
    bad "kill: expected kelm ($kelm), then daemon ($daemon), then the initfs flashing"
    show stdout "$T/kill.out"
  fi
  if grep -q "Killing process $outside:" "$T/kill.out"; then
    bad "kill: the kelm outside /mnt/initfs was killed"
  fi
  if grep -q 'Timeout killing' "$T/kill.err"; then
    bad "kill: a process outlived its SIGKILL"
    show stderr "$T/kill.err"
  fi
  kill -0 $kelm 2>/dev/null && bad "kill: kelm still runs"
  kill -0 $daemon 2>/dev/null && bad "kill: daemon still runs"
  kill -0 $outside 2>/dev/null || bad "kill: the kelm outside /mnt/initfs is gone"
  kill $outside $kelm $daemon 2>/dev/null
  wait
  expect_content "$IDEV" "$DATA/exp-initfs.bin"
  umount /mnt/initfs
}

run_test chip t_chip
run_test cli t_cli
run_test container t_container
run_test bad-blocks t_bad_blocks
run_test out-of-good-blocks t_out_of_good_blocks
run_test loose-files t_loose_files
run_test simulate t_simulate
run_test identity t_identity
run_test faults t_faults
run_test fault-read t_read_fails
run_test bitflips t_bitflips
run_test preflight t_preflight
run_test signals t_signals
run_test kill t_kill

[ -z "$ONLY" ] || exit 0

# Last: a real restart. The tool's own lines go straight to the console; the
# host checks that the kernel restarts after "Rebooting...".
nand_load
echo "VF-RESTART-NEXT"
timeout 180 unshare -m /vf/inns.sh realproc "$T" "$TOOL" -f -R -h VF100:A1 -F "$DATA/basic.velkan" 2>&1
echo "VF-RESTART-RETURNED $?"
