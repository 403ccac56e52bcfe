#!/bin/bash
# Builds the images, containers and expected flash contents of the emulated
# device's tests into the folder $1 (it becomes /data in the guest).
#
# Expected contents are built here independently of the tool: a kernel
# partition holds the boot header page (page-sized: "PIRL!img", 2, 0, the
# kernel's size rounded up to 128, little-endian, zeros), then the kernel, with
# 0xFF up to the next multiple of 128; an initfs partition holds the JFFS2 image
# with the same 0xFF filler.
set -euo pipefail
cd "$(dirname "$0")/../.."
. emu/lib.sh

out=${1:?usage: fixtures.sh OUTDIR}
rm -rf "$out"
mkdir -p "$out"

random_file() { head -c "$2" /dev/urandom >"$1"; }

ff_bytes() { head -c "$1" /dev/zero | tr '\0' '\377'; }

rounded128() { echo $((($1 + 127) / 128 * 128)); }

# The component as the partition receives it: the file, then 0xFF to a
# multiple of 128 bytes.
padded() {
  local size
  size=$(stat -c %s "$1")
  cat "$1"
  ff_bytes $(($(rounded128 "$size") - size))
}

# shellcheck disable=SC2059 # the escapes are built for printf
le32() {
  local v=$1
  printf "\\x$(printf %02x $((v & 255)))\\x$(printf %02x $((v >> 8 & 255)))"
  printf "\\x$(printf %02x $((v >> 16 & 255)))\\x$(printf %02x $((v >> 24 & 255)))"
}

# expected_kernel PAGE_SIZE KERNEL OUT
expected_kernel() {
  local page=$1 size
  size=$(rounded128 "$(stat -c %s "$2")")
  {
    printf 'PIRL!img'
    le32 2
    le32 0
    le32 "$size"
    head -c $((page - 20)) /dev/zero
    padded "$2"
  } >"$3"
}

# A tree of a few files for an initfs: text, a script, incompressible data.
make_tree() {
  local dir=$1 tag=$2 blob=$3
  mkdir -p "$dir/etc" "$dir/bin" "$dir/data"
  printf 'release %s\n' "$tag" >"$dir/etc/version"
  printf '#!/bin/sh\necho "hello from the %s initfs"\n' "$tag" >"$dir/bin/hello"
  chmod 755 "$dir/bin/hello"
  random_file "$dir/data/blob" "$blob"
  ln -s ../etc/version "$dir/data/version-link"
}

# 2048-byte pages, 128 KiB erase blocks.
random_file "$out/kernel.bin" 700001
random_file "$out/kernel-loose.bin" 650000
random_file "$out/kernel-a.bin" 600100
random_file "$out/kernel-b.bin" 610200
random_file "$out/kernel-full.bin" 2000000 # needs all 16 blocks with its header page
random_file "$out/kernel-big.bin" 2100000  # more than the partition
make_tree "$out/tree" main 400000          # spans four erase blocks
make_tree "$out/tree-loose" loose 150000
mkfs.jffs2 -n -e 128KiB -r "$out/tree" -o "$out/initfs.jffs2"
mkfs.jffs2 -n -e 128KiB -r "$out/tree-loose" -o "$out/initfs-loose.jffs2"

for k in kernel kernel-loose kernel-a kernel-b kernel-full; do
  expected_kernel 2048 "$out/$k.bin" "$out/exp-$k.bin"
done
for i in initfs initfs-loose; do
  padded "$out/$i.jffs2" >"$out/exp-$i.bin"
done

emu_pack create "$out/basic.velkan" --release 1.0-basic \
  "kernel=$out/kernel.bin,version=1.0,valid=VF100" \
  "initfs=$out/initfs.jffs2,version=1.0" >/dev/null
emu_pack create "$out/nofit-initfs.velkan" --release 1.1-nofit \
  "kernel=$out/kernel.bin,valid=VF100" "initfs=$out/initfs.jffs2,valid=VF200" >/dev/null
emu_pack create "$out/variants.velkan" --release 2.0-variants \
  "kernel=$out/kernel-a.bin,version=2.0a,valid=VF100" \
  "kernel=$out/kernel-b.bin,version=2.0b,valid=VF200:B2:B3" \
  "initfs=$out/initfs.jffs2,version=2.0" >/dev/null

# 512-byte pages, 16 KiB erase blocks.
random_file "$out/kernel512.bin" 200000
make_tree "$out/tree512" small 40000
mkfs.jffs2 -n -e 16KiB -r "$out/tree512" -o "$out/initfs512.jffs2"
expected_kernel 512 "$out/kernel512.bin" "$out/exp-kernel512.bin"
padded "$out/initfs512.jffs2" >"$out/exp-initfs512.bin"
emu_pack create "$out/small.velkan" --release 3.0-small \
  "kernel=$out/kernel512.bin,valid=VF100:A1" \
  "initfs=$out/initfs512.jffs2" >/dev/null
