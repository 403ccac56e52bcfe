# shellcheck shell=dash
# Tests on the chip with 512-byte pages, 16 KiB blocks and 16 OOB bytes:
# "kernel" is 64 blocks, "initfs" 512.
. /vf/check.sh
chip_512
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"

# Block 2 of the initfs partition (inside the image) is bad.
t_small_pages() {
  nand_load badblocks=66 || return
  flasher ident=VF100:A1 small -f -F "$DATA/small.velkan"
  expect_rc small 0
  expect_lines small out "Reading and flashing kernel image" \
    "Reading and flashing initfs image" "Image(s) successfully flashed"
  expect_lines small err
  expect_flashed kernel512 initfs512 tree512 "" 2
}

run_test chip t_chip
run_test small-pages t_small_pages
