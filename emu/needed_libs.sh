# shellcheck shell=bash
# The shared libraries that programs of an unpacked Debian armhf root need:
# their NEEDED entries and, transitively, those of the libraries. Sourced by
# the fetch scripts.

# needed_libs_copy ROOT DEST PROGRAM...: copies each library the programs
# need from ROOT's library folders into DEST, once each.
needed_libs_copy() {
  local root=$1 dest=$2 prog
  shift 2
  declare -gA needed_libs_copied=()
  for prog; do
    needed_libs_walk "$root" "$dest" "$prog"
  done
}

needed_libs_walk() {
  local root=$1 dest=$2 lib path d
  for lib in $(readelf -d "$3" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -n "${needed_libs_copied[$lib]:-}" ] && continue
    path=""
    for d in "$root/lib/arm-linux-gnueabihf" "$root/usr/lib/arm-linux-gnueabihf"; do
      [ -e "$d/$lib" ] && path=$d/$lib && break
    done
    if [ -z "$path" ]; then
      echo "${0##*/}: library $lib (needed by $3) not found" >&2
      exit 1
    fi
    needed_libs_copied[$lib]=1
    cp -L "$path" "$dest/$lib"
    needed_libs_walk "$root" "$dest" "$dest/$lib"
  done
}
