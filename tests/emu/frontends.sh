#!/bin/bash
# Builds the root file system overlay of the emulated device's "frontends"
# plan into the folder $1 from the test data in $2 (fixtures.sh): the front
# ends of emu_frontends_root, and in /fe the Artifacts that
# mender-artifact (on the host) writes of a container for the device and of one
# that has no image for its product (other.velkan), the RAUC hooks, and the
# two containers as signed .swu files for SWUpdate.
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

# The same two containers as .swu files of the example sw-description, signed
# with a key made here (its certificate is /fe/swupdate.pem).
swu=$out/fe/swu
mkdir -p "$swu"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$swu/key.pem" -out "$out/fe/swupdate.pem" \
  -subj /CN=velkan-emu -days 3650 -addext extendedKeyUsage=emailProtection 2>/dev/null
for name in basic other; do
  cp "$data/basic.velkan" "$swu/fw.velkan"
  [ "$name" = other ] && cp "$out/fe/other.velkan" "$swu/fw.velkan"
  sed "s/@SHA256@/$(sha256sum <"$swu/fw.velkan" | cut -d' ' -f1)/" \
    integration/swupdate/sw-description >"$swu/sw-description"
  openssl cms -sign -in "$swu/sw-description" -out "$swu/sw-description.sig" \
    -signer "$out/fe/swupdate.pem" -inkey "$swu/key.pem" -outform DER -nosmimecap -binary
  (cd "$swu" && printf '%s\n' sw-description sw-description.sig fw.velkan |
    cpio -o -H crc --quiet) >"$out/fe/$name.swu"
done
rm -r "$swu"
