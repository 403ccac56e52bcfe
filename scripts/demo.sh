#!/bin/bash
# The main job: builds the device binary and runs it under qemu-arm-static.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh device
tool=build/device/velkan-flasher

echo
echo "== velkan-flasher -?"
qemu-arm-static "$tool" -? || true
echo
echo "== velkan-flasher -f -v -N -h DEMO:A1 --flash-only pirl"
qemu-arm-static "$tool" -f -v -N -h DEMO:A1 --flash-only pirl
