#!/bin/bash
# Runs every test: the unit suite on the host and as armhf under qemu-arm-static,
# and builds the device binary. Sets up the machine first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

step() { printf '\n== %s\n' "$*"; }

step "host build and unit tests"
scripts/build.sh host
ctest --preset host -j2

step "armhf build and unit tests under qemu-arm-static"
scripts/build.sh armhf
ctest --preset armhf -j2

step "device build"
scripts/build.sh device
