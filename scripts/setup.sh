#!/bin/bash
# Installs everything the builds and tests need, from Debian's packages only.
# Idempotent; run as root on Debian 12.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest clang clang-format clang-tidy
  g++-arm-linux-gnueabihf libc6-dev-armhf-cross musl-dev:armhf
  qemu-user-static qemu-system-arm
  libcli11-dev nlohmann-json3-dev zlib1g-dev
  mtd-utils cpio strace openssl python3 mender-artifact
  libsodium-dev signify-openbsd dpkg-dev autoconf automake libtool
)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi

# Source packages from the archive the machine already uses: the device's
# libsodium is built from Debian's source (scripts/sodium.sh). The entry
# mirrors every "deb" entry as "deb-src", in a file of its own.
source_entries() {
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list
    fi
}
src_file=/etc/apt/sources.list.d/velkan-deb-src
[ -f /etc/apt/sources.list.d/debian.sources ] && src_file+=.sources || src_file+=.list
sources_changed=0
if ! source_entries | cmp -s - "$src_file"; then
    source_entries >"$src_file"
    sources_changed=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

# The emulated device's kernel and guest packages are fetched by their own script,
# which needs fresh package lists too.
if [ "${#missing[@]}" -gt 0 ] || [ "$sources_changed" = 1 ] || [ "${VF_SETUP_UPDATE:-0}" = 1 ]; then
  apt-get update -q
fi
if [ "${#missing[@]}" -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The emulated ARM device's kernel, busybox and mtd-utils (armhf, cached).
"$(dirname "$0")/../emu/fetch.sh"
