#!/bin/bash
# Builds libsodium for the device from Debian's own source package, with the
# project's musl toolchain: a minimal configuration (Ed25519 and SHA-512 are
# all the flasher uses), -Os, one section per function for the link to drop
# what the flasher never calls. Cached in build/sodium-musl/{include,lib};
# rebuilt only when that is missing. Needs the deb-src entry that setup.sh adds.
# Usage: sodium.sh [musl|glibc]: glibc builds the same for the armhf unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."

libc=${1:-musl}
prefix=$PWD/build/sodium-$libc
[ -f "$prefix/lib/libsodium.a" ] && exit 0

src=build/sodium-src
if ! ls -d "$src"/libsodium-*/ >/dev/null 2>&1; then
    rm -rf "$src" && mkdir -p "$src"
    (cd "$src" && apt-get source -q --download-only libsodium >/dev/null &&
        dpkg-source -x --no-check ./libsodium_*.dsc >/dev/null) || {
        echo "sodium: cannot get Debian's source package of libsodium (run scripts/setup.sh)" >&2
        exit 1
    }
fi
tree=$(ls -d "$PWD/$src"/libsodium-*/ | head -1)
# Debian's source has no configure script: its build makes one, as here.
if [ ! -x "$tree/configure" ]; then
    (cd "$tree" && autoreconf -fi >/dev/null 2>&1) || {
        echo "sodium: autoreconf failed in $tree" >&2
        exit 1
    }
fi

flags="-Os -mcpu=cortex-a8 -mfpu=neon -mfloat-abi=hard -ffunction-sections -fdata-sections"
cc=arm-linux-gnueabihf-gcc
[ "$libc" = musl ] && cc="$cc -specs /usr/lib/arm-linux-musleabihf/musl-gcc.specs"
work=build/sodium-$libc.work
rm -rf "$work" && mkdir -p "$work"
(
    cd "$work"
    "$tree/configure" --host=arm-linux-gnueabihf --prefix="$prefix" --enable-minimal \
        --disable-shared --enable-static --disable-pie --without-pthreads \
        --disable-ssp CC="$cc" CFLAGS="$flags" >configure.log 2>&1
    make -j2 install >make.log 2>&1
) || {
    echo "sodium: the build for $libc failed, see $work/" >&2
    exit 1
}
rm -rf "$work"
