#!/bin/bash
# A front end driving a flash: packs a sample firmware into a VELKAN container,
# writes it into a Mender Artifact of the update type "velkan" with
# mender-artifact, boots the emulated ARM device with Debian's mender-client
# and the Update Module (integration/mender/velkan), and installs the Artifact
# there with "mender install" (emu/guest/plan_demo_mender.sh). The checksums
# of both partitions after the flash are kept in build/emu/dumps/demo-mender.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
. emu/lib.sh
emu_prepare

work=$EMU_BUILD/demo-mender-work
data=$EMU_BUILD/demo-mender-data
rm -rf "$work" "$data"
mkdir -p "$work/tree/etc" "$data"
emu_noise demo-kernel 600000 >"$work/kernel.bin"
printf 'demo firmware 2.0, installed by Mender\n' >"$work/tree/etc/version"
emu_jffs2 "$work/tree" 128KiB "$work/initfs.jffs2"

echo
echo "== 1. on the host: velkan-pack create demo.velkan packs the kernel and the initfs"
emu_pack create "$work/demo.velkan" --release 2.0 \
  "kernel=$work/kernel.bin,version=2.0,valid=VF100:A1" "initfs=$work/initfs.jffs2,version=2.0"
echo "== 2. mender-artifact write module-image: the container as the payload of type \"velkan\" for the device type vf100-emu"
mender-artifact write module-image -T velkan -t vf100-emu -n demo-2.0 -f "$work/demo.velkan" \
  -o "$data/demo.mender"
mender-artifact read "$data/demo.mender" | grep -E 'Name:|Type:|Compatible devices:|files:|name:' || true

emu_frontends_root "$EMU_BUILD/demo-mender-root"
EMU_OVERLAY=$EMU_BUILD/demo-mender-root emu_initramfs "$data" "$EMU_BUILD/demo-mender.cpio.gz"
mkdir -p "$EMU_BUILD/logs" "$EMU_BUILD/dumps"
log=$EMU_BUILD/logs/demo-mender.log
echo
echo "== booting the emulated ARM device with Debian's mender-client; on it:"
rc=0
emu_boot "$EMU_BUILD/demo-mender.cpio.gz" demo_mender "$log" 300 || rc=$?
grep -v '^VF-' "$log"
grep '^VF-DUMP ' "$log" >"$EMU_BUILD/dumps/demo-mender.txt" || true
if [ "$rc" -ne 0 ] || ! grep -q '^VF-END demo_mender' "$log"; then
  echo "demo-mender: the emulated device did not finish (qemu status $rc)" >&2
  exit 1
fi
if ! grep -q '^VF-DEMO-STATUS 0$' "$log"; then
  echo "demo-mender: mender install failed" >&2
  exit 1
fi
