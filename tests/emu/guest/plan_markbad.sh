# shellcheck shell=dash
# --mark-bad on both chips: a block that fails while it is flashed is tested,
# marked bad, and its component is flashed again around it.
. /vf/check.sh
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"

# expect_bad DEV "BLOCKS": exactly these blocks of the partition are bad, by
# the kernel's bad-block query and by the partition's bad-block count.
expect_bad() {
  local got count
  got=$(vfhelper badblocks "$1")
  [ "$got" = "$2" ] || bad "$1: bad blocks '$got', expected '$2'"
  count=$(cat "/sys/class/mtd/${1#/dev/}/bad_blocks")
  [ "$count" = "$(echo "$2" | wc -w)" ] || bad "$1: bad-block count $count, expected '$2'"
}

# mark_bad CONTAINER KERNEL INITFS: rows FAULT|PARTITION|BLOCK|WHAT|ERROR on a
# chip with that nandsim fault. Without --mark-bad the run fails as it always
# did, with ERROR (if given), and marks nothing; with it, the run succeeds,
# reports "PARTITION: block BLOCK marked bad: WHAT", the block is bad, and
# both partitions hold their images on the good blocks; the run's percentage
# (--progress and the record) never goes back and ends at 100.
mark_bad() {
  local fault part block what err kbad ibad
  while IFS='|' read -r fault part block what err; do
    nand_load "$fault" || return
    flasher plain ident=VF100:A1 -f -F "$DATA/$1.velkan"
    expect_status 1
    [ -z "$err" ] || expect_err_has "$err"
    expect_out_lacks "marked bad"
    expect_bad "$KDEV" ""
    expect_bad "$IDEV" ""
    flasher mark ident=VF100:A1 -f --mark-bad --progress --report "$T/mark.json" \
      -F "$DATA/$1.velkan"
    expect_status 0
    expect_run_progress "$T/mark.err"
    send_record "$1-${fault%%=*}" '{"status":0,"signal":null,"completed":["kernel","initfs"]}' "$T/mark.json"
    expect_out_has "$part: block $block marked bad: $what"
    kbad=$([ "$part" = kernel ] && echo "$block")
    ibad=$([ "$part" = initfs ] && echo "$block")
    expect_bad "$KDEV" "$kbad"
    expect_bad "$IDEV" "$ibad"
    expect_flashed "$2" "$3" "$kbad" "$ibad"
  done
}

# An erase failure in the kernel partition, a program failure and a page that
# reads back corrupted with an uncorrectable ECC error in the initfs (nandsim
# counts pages from chip start).
rows() {
  cat <<EOF
weakblocks=2:0|kernel|2|erase failed: I/O error|MEMERASE (block 2): I/O error
weakpages=$(((KBLOCKS + 1) * PPB + 5)):0|initfs|1|program failed: I/O error|nand_write: write (around 0x$(printf %08x $((BLOCK + 5 * PAGE)))): I/O error
gravepages=$(((KBLOCKS + 1) * PPB + 3)):0|initfs|1|read-back failed: uncorrectable ECC error|Verify error at 0x$(printf %08x $BLOCK): uncorrectable ECC error in block 1
EOF
}

t_mark_bad_2k() {
  chip_2k
  rows | mark_bad basic kernel initfs
}

t_mark_bad_512() {
  chip_512
  rows | mark_bad small kernel512 initfs512
}

# Five kernel blocks that cannot be erased: four are marked, then the run
# gives up.
t_mark_bad_limit() {
  chip_2k
  nand_load weakblocks=1:0,2:0,3:0,4:0,5:0 || return
  flasher limit ident=VF100:A1 -f --mark-bad -F "$DATA/basic.velkan"
  expect_status 1
  expect_err_has "Giving up on kernel after 4 block faults: erase of block 5 failed"
  expect_bad "$KDEV" "1 2 3 4"
}

run_tests mark-bad-2k mark-bad-512 mark-bad-limit
