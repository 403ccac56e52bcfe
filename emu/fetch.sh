#!/bin/bash
# Fetches the emulated device's guest software from Debian's armhf packages and
# caches it under .cache/guest/ (never installed on the host):
#   vmlinuz                       the current armmp kernel
#   modules/{nandsim,jffs2}.ko    the simulated NAND chip and the file system
#   busybox                       the guest shell and tools
#   mtd/                          nanddump, flash_erase and nandwrite with the
#                                 shared libraries they need
#   frontends/                    the update front ends (emu/fetch_frontends.sh)
# The kernel package name is resolved at run time: its ABI number moves with
# security updates. A cache that matches the current name is kept as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
. emu/needed_libs.sh

cache=.cache/guest

# apt-get needs the armhf lists; setup.sh adds the architecture.
if ! apt-cache show linux-image-armmp:armhf >/dev/null 2>&1; then
  apt-get update -q
fi

resolve_kernel() {
  kernel_pkg=$(apt-cache depends linux-image-armmp:armhf |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-armmp\)\(:armhf\)\?$/\1/p' | head -n1)
  if [ -z "$kernel_pkg" ]; then
    echo "fetch.sh: cannot resolve the armmp kernel package" >&2
    exit 1
  fi
}
resolve_kernel

stamp="$cache/kernel-package"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$kernel_pkg" ] &&
  [ -f "$cache/vmlinuz" ] && [ -f "$cache/busybox" ] && [ -x "$cache/mtd/bin/nanddump" ]; then
  exec emu/fetch_frontends.sh
fi

echo "fetch.sh: fetching $kernel_pkg and the guest tools"
rm -rf "$cache/debs" "$cache/root" "$cache/modules" "$cache/mtd"
mkdir -p "$cache/debs" "$cache/root" "$cache/modules" "$cache/mtd/bin" "$cache/mtd/lib"

# The mtd-utils programs used in the guest need only the C library (their NEEDED
# entries are checked below: a library from elsewhere stops the fetch).
mtd_programs=(nanddump nandwrite flash_erase)

download() {
  rm -f "$cache"/debs/*.deb
  (
    cd "$cache/debs"
    # apt's sandbox user may not write here; the download then runs as root.
    apt-get download -q "$kernel_pkg:armhf" busybox-static:armhf mtd-utils:armhf libc6:armhf \
      2> >(grep -v 'Download is performed unsandboxed' >&2)
  )
}
# Stale package lists name versions that the archive no longer has.
if ! download; then
  apt-get update -q
  resolve_kernel
  download
fi
for deb in "$cache"/debs/*.deb; do
  dpkg-deb -x "$deb" "$cache/root"
done

root="$cache/root"
vmlinuz=$(find "$root/boot" -name "vmlinuz-*-armmp" | head -n1)
cp "$vmlinuz" "$cache/vmlinuz"
for mod in nandsim jffs2; do
  found=$(find "$root/lib/modules" -name "$mod.ko*" | head -n1)
  if [ -z "$found" ]; then
    echo "fetch.sh: $mod module missing from $kernel_pkg" >&2
    exit 1
  fi
  case "$found" in
  *.ko.xz) xz -dc "$found" >"$cache/modules/$mod.ko" ;;
  *.ko) cp "$found" "$cache/modules/$mod.ko" ;;
  *)
    echo "fetch.sh: unexpected module file $found" >&2
    exit 1
    ;;
  esac
done
cp "$root/bin/busybox" "$cache/busybox"

# Each program and, transitively, the libraries named by NEEDED entries.
for prog in "${mtd_programs[@]}"; do
  cp "$root/usr/sbin/$prog" "$cache/mtd/bin/$prog"
done
needed_libs_copy "$root" "$cache/mtd/lib" "${mtd_programs[@]/#/$cache/mtd/bin/}"
interp=$(readelf -l "$cache/mtd/bin/nanddump" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
cp -L "$root$interp" "$cache/mtd/lib/$(basename "$interp")"
echo "$interp" >"$cache/mtd/interpreter"

rm -rf "$cache/root" "$cache/debs"
echo "$kernel_pkg" >"$stamp"
echo "fetch.sh: cached $kernel_pkg in $cache"
exec emu/fetch_frontends.sh
