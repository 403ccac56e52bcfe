#!/bin/bash
# Builds the root file system overlay of the emulated device's "frontends"
# plan into the folder $1 from the test data in $2 (fixtures.sh): Debian's
# mender-client with its libraries and Update Modules, ours beside them, the
# device type the Artifacts are for, and in /fe the Artifacts that
# mender-artifact (on the host) writes of a container for the device and of one
# that has no image for its product (other.velkan), and the RAUC hooks.
set -euo pipefail
cd "$(dirname "$0")/../.."
. emu/lib.sh

out=${1:?usage: frontends.sh OUTDIR DATADIR}
data=${2:?usage: frontends.sh OUTDIR DATADIR}
fe=$EMU_CACHE/frontends
rm -rf "$out"
mkdir -p "$out"/{usr/bin,lib,usr/share,var/lib/mender,etc/mender,fe}
cp "$fe/bin/mender" "$out/usr/bin/"
cp "$fe"/lib/* "$out/lib/"
cp -r "$fe/share/mender" "$out/usr/share/"
cp integration/mender/velkan "$out/usr/share/mender/modules/v3/velkan"
echo "device_type=vf100-emu" >"$out/var/lib/mender/device_type"
echo '{}' >"$out/etc/mender/mender.conf"
echo "artifact_name=factory" >"$out/etc/mender/artifact_info"

emu_pack create "$out/fe/other.velkan" --release 9.0-other \
  "kernel=$data/kernel.bin,valid=VF900" "initfs=$data/initfs.jffs2,valid=VF900" >/dev/null
for name in basic other; do
  src=$data/basic.velkan
  [ "$name" = other ] && src=$out/fe/other.velkan
  mender-artifact write module-image -T velkan -t vf100-emu -n "$name-1" -f "$src" \
    -o "$out/fe/$name.mender" >/dev/null
done
cp integration/rauc/hooks.sh "$out/fe/rauc-hooks.sh"
