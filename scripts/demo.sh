#!/bin/bash
# The main job: packs a sample firmware (a kernel blob and a JFFS2 initfs with a
# few files) into a VELKAN container and verifies it, boots the emulated ARM
# device with a simulated NAND chip, checks the container there with --check,
# flashes it with -v and --progress and shows the log, the record of the
# flash, the flash contents and the files of the mounted initfs. The sample is
# the same on every run; the checksums of both partitions after the flash are
# kept in build/emu/dumps/demo.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
. emu/lib.sh
emu_prepare

data=$EMU_BUILD/demo-data
rm -rf "$data"
mkdir -p "$data/tree/etc" "$data/tree/bin" "$data/tree/lib"
emu_noise demo-kernel 600000 >"$data/kernel.bin"
printf 'demo firmware 1.0\n' >"$data/tree/etc/version"
printf 'product VF100, hardware A1\n' >"$data/tree/etc/device"
printf '#!/bin/sh\necho "hello from the freshly flashed initfs"\n' >"$data/tree/bin/hello"
chmod 755 "$data/tree/bin/hello"
emu_noise demo-firmware 200000 >"$data/tree/lib/firmware.bin"
emu_jffs2 "$data/tree" 128KiB "$data/initfs.jffs2"

echo
echo "== 1. on the host: velkan-pack create demo.velkan packs the kernel and the initfs"
emu_pack create "$data/demo.velkan" --release 1.0 \
  "kernel=$data/kernel.bin,version=1.0,valid=VF100:A1" \
  "initfs=$data/initfs.jffs2,version=1.0"
echo "== 2. velkan-pack list: what the flasher will read (look at \"Valid for VF100: A1\")"
emu_pack list "$data/demo.velkan"
echo "== 3. velkan-pack verify: each image's checksum and CRC-32 against its data (\"ok\")"
emu_pack verify "$data/demo.velkan"

emu_initramfs "$data" "$EMU_BUILD/demo.cpio.gz"
mkdir -p "$EMU_BUILD/logs"
log=$EMU_BUILD/logs/demo.log
echo
echo "== 4. booting the emulated ARM device (qemu-system-arm, Debian's armmp kernel); on it:"
rc=0
emu_boot "$EMU_BUILD/demo.cpio.gz" demo "$log" 300 || rc=$?
grep -v '^VF-' "$log"
mkdir -p "$EMU_BUILD/dumps"
grep '^VF-DUMP ' "$log" >"$EMU_BUILD/dumps/demo.txt" || true
if [ "$rc" -ne 0 ] || ! grep -q '^VF-END demo' "$log"; then
  echo "demo: the emulated device did not finish (qemu status $rc)" >&2
  exit 1
fi
if ! grep -q '^VF-DEMO-STATUS 0$' "$log"; then
  echo "demo: flashing failed" >&2
  exit 1
fi
