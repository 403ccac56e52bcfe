# shellcheck shell=dash
# Tests on the chip with 512-byte pages, 16 KiB erase blocks and 16 OOB bytes:
# "kernel" is 64 blocks, "initfs" 512.
. /vf/check.sh
chip_512
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"

# Block 2 of the initfs partition (inside the image) is bad.
t_small_pages() {
  nand_load badblocks=66 || return
  flasher small ident=VF100:A1 -f -F "$DATA/small.velkan"
  expect_status 0
  expect_out_is "$FLASHED"
  expect_err_is ""
  expect_flashed kernel512 initfs512 "" 2
}

run_tests chip small-pages
