#!/bin/bash
# Configures and builds one preset: host, device, armhf or asan.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:?usage: build.sh host|device|armhf|asan}
# The target builds link libsodium built from Debian's source (cached in build/).
case $preset in
device) scripts/sodium.sh musl ;;
armhf) scripts/sodium.sh glibc ;;
esac
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
