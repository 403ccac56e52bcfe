#!/bin/bash
# Builds the images, containers and expected flash contents of the emulated
# device's tests into the folder $1 (it becomes /data in the guest). Every
# run builds the same bytes.
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

rounded128() { echo $((($1 + 127) / 128 * 128)); }

# The component as the partition receives it: the file, then 0xFF to a
# multiple of 128 bytes.
padded() {
  local size
  size=$(stat -c %s "$1")
  cat "$1"
  head -c $(($(rounded128 "$size") - size)) /dev/zero | tr '\0' '\377'
}

# Kernels: NAME SIZE PAGE_SIZE, with the expected partition content for pages
# of that size (-: none). kernel-full needs all 16 blocks of the 2048-byte chip
# with its header page, kernel-big more than the partition.
while read -r k size page; do
  emu_noise "$k" "$size" >"$out/$k.bin"
  [ "$page" = - ] && continue
  {
    printf 'PIRL!img\2\0\0\0\0\0\0\0'
    for shift in 0 8 16 24; do
      # shellcheck disable=SC2059 # the escape is built for printf
      printf "\\$(printf %03o $(($(rounded128 "$size") >> shift & 255)))"
    done
    head -c $((page - 20)) /dev/zero
    padded "$out/$k.bin"
  } >"$out/exp-$k.bin"
done <<ROWS
kernel 700001 2048
kernel-loose 650000 2048
kernel-a 600100 2048
kernel-b 610200 2048
kernel-full 2000000 2048
kernel-big 2100000 -
kernel512 200000 512
ROWS

# JFFS2 initfs images: NAME TAG BLOB_SIZE ERASE_SIZE, each of a tree NAME.tree
# of a few files (text, a script, incompressible data) and its expected
# partition content. The first spans four 128 KiB erase blocks.
while read -r i tag blob erase; do
  mkdir -p "$out/$i.tree/etc" "$out/$i.tree/bin" "$out/$i.tree/data"
  printf 'release %s\n' "$tag" >"$out/$i.tree/etc/version"
  printf '#!/bin/sh\necho "hello from the %s initfs"\n' "$tag" >"$out/$i.tree/bin/hello"
  chmod 755 "$out/$i.tree/bin/hello"
  emu_noise "$i" "$blob" >"$out/$i.tree/data/blob"
  ln -s ../etc/version "$out/$i.tree/data/version-link"
  emu_jffs2 "$out/$i.tree" "$erase" "$out/$i.jffs2"
  padded "$out/$i.jffs2" >"$out/exp-$i.bin"
done <<ROWS
initfs main 400000 128KiB
initfs-loose loose 150000 128KiB
initfs512 small 40000 16KiB
ROWS

emu_pack create "$out/basic.velkan" --release 1.0-basic \
  "kernel=$out/kernel.bin,version=1.0,valid=VF100" \
  "initfs=$out/initfs.jffs2,version=1.0" >/dev/null
emu_pack create "$out/nofit-initfs.velkan" --release 1.1-nofit \
  "kernel=$out/kernel.bin,valid=VF100" "initfs=$out/initfs.jffs2,valid=VF200" >/dev/null
emu_pack create "$out/variants.velkan" --release 2.0-variants \
  "kernel=$out/kernel-a.bin,version=2.0a,valid=VF100" \
  "kernel=$out/kernel-b.bin,version=2.0b,valid=VF200:B2:B3" \
  "initfs=$out/initfs.jffs2,version=2.0" >/dev/null
emu_pack create "$out/small.velkan" --release 3.0-small \
  "kernel=$out/kernel512.bin,valid=VF100:A1" "initfs=$out/initfs512.jffs2" >/dev/null
# What velkan-pack check names for each identity of the variants, up to its
# verdict on the partition: --check must name the same images.
for id in VF100:A1 VF200:B2 VF200:B3; do
  emu_pack check "$out/variants.velkan" --product "${id%:*}" --hw "${id#*:}" |
    sed 's/;.*//' >"$out/check-$id.txt"
done

# --- the integrity checks before the first erase ---------------------------------
# crc-bad.velkan: basic.velkan with an X in its initfs data 1000 bytes before
# the end, after it was packed. cut.velkan: basic.velkan cut behind its kernel
# image, where a container of the same kernel alone ends.
cp "$out/basic.velkan" "$out/crc-bad.velkan"
printf X | dd of="$out/crc-bad.velkan" bs=1 seek=$(($(stat -c %s "$out/basic.velkan") - 1000)) \
  conv=notrunc status=none
emu_pack create "$out/kernel-only.velkan" --release 1.0-basic \
  "kernel=$out/kernel.bin,version=1.0,valid=VF100" >/dev/null
head -c "$(stat -c %s "$out/kernel-only.velkan")" "$out/basic.velkan" >"$out/cut.velkan"
rm "$out/kernel-only.velkan"

# --- signed containers -----------------------------------------------------------
# Test keys without a passphrase, kept in tests/emu/keys so that every run signs
# the same bytes (Ed25519 is deterministic). signed.velkan: basic.velkan signed
# with key one by velkan-pack; stock.velkan: signed with key two by
# signify-openbsd over velkan-pack's manifest. The key directories: keys-one,
# keys-two, keys-both (rotation). Then signed.velkan changed in one place each:
# the release in the file header, the first image's name, the second image's
# digest (the last bytes of its header), the second image's data (by the CRC's
# generator polynomial, so that its CRC-32 stays), the signature.
keys=tests/emu/keys
for k in one two both; do mkdir -p "$out/keys-$k"; done
cp "$keys/one.pub" "$out/keys-one/" && cp "$keys/two.pub" "$out/keys-two/"
cp "$keys/one.pub" "$keys/two.pub" "$out/keys-both/"
# Key one's number, as the refusals print it: bytes 2 to 9 of the key.
tail -n 1 "$keys/one.pub" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n' >"$out/one.id"
emu_pack create "$out/signed.velkan" --release 1.0-basic --sign "$keys/one.sec" \
  "kernel=$out/kernel.bin,version=1.0,valid=VF100" \
  "initfs=$out/initfs.jffs2,version=1.0" >/dev/null
emu_pack create "$out/stock.velkan" --release 1.0-basic --signable \
  "kernel=$out/kernel.bin,version=1.0,valid=VF100" \
  "initfs=$out/initfs.jffs2,version=1.0" >/dev/null
emu_pack manifest "$out/stock.velkan" "$out/stock.manifest"
signify-openbsd -S -s "$keys/two.sec" -m "$out/stock.manifest" -x "$out/stock.sig"
emu_pack sign "$out/stock.velkan" --signature "$out/stock.sig"
# The file header: release (11), extent, signature (value at 32); the first
# image's header at 106, its name at 115.
initfs_at=$(emu_pack list "$out/signed.velkan" | sed -n "s/^image 2 'initfs': data at offset \([0-9]*\),.*/\1/p")
while read -r name at bytes; do
  cp "$out/signed.velkan" "$out/$name.velkan"
  python3 -c 'import sys
p, at, pattern = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3])
b = bytearray(open(p, "rb").read())
for i, x in enumerate(pattern): b[at + i] ^= x
open(p, "wb").write(b)' "$out/$name.velkan" "$at" "$bytes"
done <<ROWS
s-header 11 10
s-image1 115 10
s-image2 $((initfs_at - 2)) 10
s-data2 $((initfs_at + 1000)) 410671db01
s-sig 62 10
ROWS
