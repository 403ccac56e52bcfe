# shellcheck shell=dash
# Benchmark on a chip with 512-byte pages: a 3 MiB kernel partition and a
# 20 MiB initfs partition.
. /vf/bench_lib.sh
chip_512
bench_chip 512 parts=192,1280
