#!/bin/bash
# Builds the root file system overlay of the emulated device's "frontends"
# plan into the folder $1 from the test data in $2 (fixtures.sh): the front
# ends of emu_frontends_root, and in /fe the Artifacts that
# mender-artifact (on the host) writes of a container for the device and of one
# that has no image for its product (other.velkan), and the RAUC hooks.
set -euo pipefail
cd "$(dirname "$0")/../.."
. emu/lib.sh

out=${1:?usage: frontends.sh OUTDIR DATADIR}
data=${2:?usage: frontends.sh OUTDIR DATADIR}
emu_frontends_root "$out"
mkdir -p "$out/fe"

emu_pack create "$out/fe/other.velkan" --release 9.0-other \
  "kernel=$data/kernel.bin,valid=VF900" "initfs=$data/initfs.jffs2,valid=VF900" >/dev/null
for name in basic other; do
  src=$data/basic.velkan
  [ "$name" = other ] && src=$out/fe/other.velkan
  mender-artifact write module-image -T velkan -t vf100-emu -n "$name-1" -f "$src" \
    -o "$out/fe/$name.mender" >/dev/null
done
cp integration/rauc/hooks.sh "$out/fe/rauc-hooks.sh"
