# shellcheck shell=dash
# Benchmark on a chip with 2048-byte pages: a 3 MiB kernel partition and a
# 20 MiB initfs partition.
. /vf/bench_lib.sh
chip_2k
bench_chip 2k parts=24,160
