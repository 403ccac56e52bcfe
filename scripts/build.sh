#!/bin/bash
# Configures and builds one preset: host, device, armhf or asan.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:?usage: build.sh host|device|armhf|asan}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
