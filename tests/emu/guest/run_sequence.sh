# shellcheck shell=dash
# The run sequence on the chip with 2048-byte pages: what the checks before
# the first erase refuse, and the stop signals, held from the first erase to
# the end of the run.
# Sourced by plan_nand2k.sh, whose refused() it uses.

# Refusals of the integrity and memory checks: each run fails with its line,
# --check too, and both partitions (OOB included) stay as they were.
# crc-bad.velkan has an X where exp-initfs.bin has not. The guest's available
# memory is cut to about 8 MiB by a file on a tmpfs for the last runs, whose
# initfs (a sparse file) needs 14 MiB and one erase block.
t_integrity() {
  nand_load || return
  seed
  snapshot before
  poke "$DATA/exp-initfs.bin" $(($(size_of "$DATA/exp-initfs.bin") - 1000))
  refused crc ident=VF100:A1 "Image 'initfs': CRC-32 mismatch, expected \
$(crc32_of "$DATA/exp-initfs.bin"), computed $(crc32_of "$T/poked")" -F "$DATA/crc-bad.velkan"
  refused cut ident=VF100:A1 "$DATA/cut.velkan: cut or extended: expected 2 images in \
$(size_of "$DATA/basic.velkan") bytes, found 1 in $(size_of "$DATA/cut.velkan")" \
    -F "$DATA/cut.velkan" --flash-only kernel
  dd if=/dev/zero of="$T/initfs14.bin" bs=1 count=0 seek=14680064 2>/dev/null
  local mib
  mib=$(($(sed -n 's/^MemAvailable: *\([0-9]*\) kB$/\1/p' /proc/meminfo) / 1024 - 8))
  mount -t tmpfs -o size=$((mib + 1))m tmpfs /mnt/check &&
    dd if=/dev/zero of=/mnt/check/ballast bs=1048576 count=$mib 2>/dev/null
  flasher memory realproc -f -h VF100:A1 -i "$T/initfs14.bin"
  flasher memory-check realproc --check -h VF100:A1 -i "$T/initfs14.bin"
  umount /mnt/check
  rm -f "$T/initfs14.bin"
  for RUN in memory memory-check; do
    expect_status 1
    grep -q '^Not enough memory to flash: 14464 KiB needed, [0-9]* KiB available$' "$T/$RUN.err" || {
      bad "$RUN: no line that refuses the run for its memory"
      show "$RUN stderr" "$T/$RUN.err"
    }
  done
  snapshot after
}

# A device with keys: every refusal comes before the first erase and leaves
# both partitions as they were (an unsigned container, each header, a data
# area and the signature changed, a key it does not have, a loose image);
# then a container that signify-openbsd signed with the second of its two
# keys is flashed.
t_signing() {
  nand_load || return
  seed
  snapshot before
  local f id
  id=$(cat "$DATA/one.id")
  refused unsigned ident=VF100:A1 "$DATA/basic.velkan: not signed; this device takes only \
signed containers" -F "$DATA/basic.velkan" --keys "$DATA/keys-one"
  for f in s-header s-image1 s-image2 s-sig; do
    refused "$f" ident=VF100:A1 "$DATA/$f.velkan: bad signature (key one.pub, $id)" \
      -F "$DATA/$f.velkan" --keys "$DATA/keys-one"
  done
  refused s-data2 ident=VF100:A1 "Image 'initfs': digest mismatch: the data is not what was \
signed" -F "$DATA/s-data2.velkan" --keys "$DATA/keys-one"
  refused wrongkey ident=VF100:A1 "$DATA/signed.velkan: signed by key $id, which this device \
does not have" -F "$DATA/signed.velkan" --keys "$DATA/keys-two"
  refused loose ident=VF100:A1 "kernel: loose image $DATA/kernel.bin refused: this device takes \
only containers signed with a key in $DATA/keys-one" -F "$DATA/signed.velkan" -k "$DATA/kernel.bin" \
    --keys "$DATA/keys-one"
  snapshot after
  flasher stock ident=VF100:A1 -f -F "$DATA/stock.velkan" --keys "$DATA/keys-both"
  expect_status 0
  expect_out_is "$FLASHED"
  expect_err_is ""
  expect_flashed kernel initfs "" ""
}

# poke FILE OFFSET: FILE with an X at OFFSET, in $T/poked.
poke() {
  cp "$1" "$T/poked"
  printf X | dd of="$T/poked" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

# The CRC-32 of a file, as the tool prints it (gzip's trailer holds it).
crc32_of() { gzip -c "$1" | tail -c 8 | head -c 4 | hexdump -e '1/4 "%08x"'; }

# stop NAME DEVICE TEXT SIGNALS BLOCKED: a slow flash of basic.velkan in the
# background, started with signal BLOCKED blocked (0: none) and the stop
# signals at their default actions; when DEVICE starts with TEXT, SIGNALS
# (comma-separated) go to the tool. Its status, stdout and stderr are read as
# run NAME, its record of --report is $T/NAME.json.
stop() {
  local name=$1 dev=$2 text=$3 signals=$4 tool=$TOOL run pid=""
  TOOL=/vf/vfhelper
  flasher "$name" ident=VF100:A1 start "$5" "$tool" -f -F "$DATA/basic.velkan" \
    --report "$T/$name.json" &
  run=$!
  TOOL=$tool
  while [ -z "$pid" ] && kill -0 $run 2>/dev/null; do pid=$(pidof velkan-flasher); done
  # shellcheck disable=SC2046 # the signals are words
  vfhelper kill-when "$dev" "$text" "$pid" $(echo "$signals" | tr , ' ') || bad "$name: no signal sent"
  wait $run
  RUN=$name
}

# Stop signals: one blocked when the tool starts is left alone; a hang-up is
# ignored, and SIGTERM and SIGQUIT while the initfs is written wait until it is
# verified and marked, then end the run by the one the line names; a signal
# does not turn a failed flash into a stop. Last, SIGINT while -K waits for a
# process that does not go (a zombie): the line names the kernel alone and
# comes after the progress lines (stdout and stderr go to one file).
t_stops() {
  nand_load do_delays=1 programm_delay=2000 || return
  stop blocked "$KDEV" 'PIRL!img' 15 15
  expect_status 0
  expect_err_is ""
  nand_load do_delays=1 programm_delay=2000 || return
  stop three "$IDEV" "$(head -c 4 "$DATA/exp-initfs.bin")" 1,15,3 0
  expect_status 131
  expect_err_has "Stopped by signal 3 (Quit); partitions completed: kernel, initfs"
  send_record three '{"status":131,"signal":3,"completed":["kernel","initfs"]}' "$T/three.json"
  expect_content "$IDEV" "$DATA/exp-initfs.bin"
  expect_markers "$IDEV" yes ""
  nand_load do_delays=1 programm_delay=2000 gravepages=$((KBLOCKS * PPB + PPB + 5)):0 || return
  stop failed "$IDEV" "$(head -c 4 "$DATA/exp-initfs.bin")" 15 0
  expect_status 1
  expect_err_lacks "Stopped"
  nand_load || return
  seed
  snapshot before
  { mount -t tmpfs tmpfs /mnt/initfs && cp /vf/vfhelper /mnt/initfs/kelm; } || bad "no /mnt/initfs/kelm"
  sh -c '/mnt/initfs/kelm & exec sleep 60' &
  local sleeper=$! kelm="" pid=""
  timeout 180 unshare -m /vf/inns.sh realproc "$T" /vf/vfhelper start 0 "$TOOL" -f -K \
    -h VF100:A1 -F "$DATA/basic.velkan" >"$T/int.out" 2>&1 &
  local run=$!
  while [ -z "$kelm" ]; do kelm=$(pidof kelm); done
  while [ -z "$pid" ]; do pid=$(pidof velkan-flasher); done
  until grep -q '^State:.*Z' "/proc/$kelm/status" 2>/dev/null; do :; done
  kill -INT "$pid"
  wait $run
  echo $? >"$T/int.rc"
  : >"$T/int.err"
  # shellcheck disable=SC2034 # read by the checks
  RUN=int
  expect_status 130
  [ "$(grep -e '^Reading' -e '^Stopped' "$T/int.out")" = "Reading and flashing kernel image
Reading and flashing initfs image
Stopped by signal 2 (Interrupt); partitions completed: kernel" ] || {
    bad "int: the progress lines do not come before the Stopped line"
    show log "$T/int.out"
  }
  kill $sleeper
  umount /mnt/initfs
  expect_content "$KDEV" "$DATA/exp-kernel.bin"
  snapshot after initfs
}

# The record of --report: a device and a file on a file system of a partition
# the run rewrites (the initfs mounted read-write) are refused before anything
# is erased; a file size limit of the caller ends the record early, never the
# flash; stdout and stderr taken through one pipe keep their order.
t_record() {
  nand_load || return
  flasher rec-first ident=VF100:A1 -f -F "$DATA/basic.velkan"
  expect_status 0
  mount -t jffs2 "mtd$INUM" /mnt/check || bad "mount -t jffs2 mtd$INUM read-write"
  mknod "$T/blockdev" b 31 "$KNUM"
  snapshot before
  flasher rec-chardev ident=VF100:A1 -f -F "$DATA/basic.velkan" --report "$KDEV"
  expect_status 2
  expect_err_is "--report: $KDEV is a character device; give a regular file or a pipe"
  flasher rec-blockdev ident=VF100:A1 -f -F "$DATA/basic.velkan" --report "$T/blockdev"
  expect_status 2
  expect_err_is "--report: $T/blockdev is a block device; give a regular file or a pipe"
  flasher rec-initfs ident=VF100:A1 -f -F "$DATA/basic.velkan" --report /mnt/check/rec.json
  expect_status 2
  expect_err_is "--report: /mnt/check/rec.json lies on a file system on the initfs partition, which this run rewrites"
  [ ! -e /mnt/check/rec.json ] || bad "rec-initfs: the record was made on the initfs"
  snapshot after kernel
  umount /mnt/check
  rm -f "$T/blockdev"
  nand_load do_delays=1 || return
  (
    ulimit -f 1
    flasher rec-limit ident=VF100:A1 -f -F "$DATA/basic.velkan" --report "$T/limit.json"
  )
  RUN=rec-limit
  expect_status 0
  expect_out_is "$FLASHED"
  expect_err_is "--report: $T/limit.json: the record ends early: File too large"
  [ "$(tail -c 1 "$T/limit.json" | hexdump -e '1/1 "%02x"')" = 0a ] ||
    bad "rec-limit: the record does not end with a whole line"
  expect_flashed kernel initfs "" ""
  timeout 180 unshare -m /vf/inns.sh ident "$T" "$TOOL" -f -v --progress \
    -F "$DATA/basic.velkan" 2>&1 | cat >"$T/order.out"
  [ "$(grep -e '^Reading and' -e ': erase 0%$' "$T/order.out")" = "Reading and flashing kernel image
kernel: erase 0%
Reading and flashing initfs image
initfs: erase 0%" ] || {
    bad "order: the log lines do not keep their place among the progress lines"
    show order "$T/order.out"
  }
}
