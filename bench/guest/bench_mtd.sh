# shellcheck shell=dash
# Flashing both partitions the way a script does it with the generic tools:
# erase (with clean markers on the initfs), write with padding, dump the
# written length and compare it with the image. Stops at the first failure.
# Usage: bench_mtd.sh KDEV KIMAGE KLEN IDEV IIMAGE ILEN WORKDIR
set -e
kdev=$1 kimg=$2 klen=$3 idev=$4 iimg=$5 ilen=$6 work=$7
flash_erase -q "$kdev" 0 0
nandwrite -q -p "$kdev" "$kimg"
nanddump -q -l "$klen" -f "$work/kernel.dump" "$kdev"
cmp "$work/kernel.dump" "$kimg"
flash_erase -q -j "$idev" 0 0
nandwrite -q -p "$idev" "$iimg"
nanddump -q -l "$ilen" -f "$work/initfs.dump" "$idev"
cmp "$work/initfs.dump" "$iimg"
