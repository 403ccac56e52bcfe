# shellcheck shell=dash
# The demo: checks the sample firmware against the simulated NAND chip with
# --check, flashes it with -v and --progress, and shows the record of the
# flash and what landed there.
. /vf/lib.sh
chip_2k
insmod "$MODS/jffs2.ko"
TEST=demo


nand_load
say "the NAND chip (nandsim): 2048-byte pages, 128 KiB blocks; the kernel's table"
cat /proc/mtd
say "the table the tool sees as /proc/mtd: partitions \"kernel\" and \"initfs\""
cat "$T/mtd.table"
say "/proc/component_version: the device's identity, which picks the images"
printf 'product %s\nhw-build %s\n' VF100 A1 | tee "$T/component_version"

say "5. velkan-flasher --check -F /data/demo.velkan: would it flash here? It writes nothing; look at the last line"
timeout 180 unshare -m /vf/inns.sh ident "$T" "$TOOL" --check -F /data/demo.velkan
echo "exit status $?"

say "6. velkan-flasher -f -v --progress --report $T/flash.json -F /data/demo.velkan: the flash, with its log and progress"
# The log goes to the console; the progress lines (stderr) through a pipe,
# where they come at each tenth rather than in place.
exec 3>&1
{
  timeout 180 unshare -m /vf/inns.sh ident "$T" "$TOOL" -f -v --progress \
    --report "$T/flash.json" -F /data/demo.velkan 2>&1 1>&3
  echo $? >"$T/status"
} | cat
status=$(cat "$T/status")
demo_flashed "$status"

say "7. the record of the flash (--report): start, images, phase ends, and the end with status 0"
grep -E '"event":"(start|image|phase_end|end)"' "$T/flash.json"

say "8. kernel partition, first page: the boot header (\"PIRL!img\", 2, 0, the kernel's size)"
nanddump -l 2048 -p "$KDEV" 2>/dev/null | head -n 3
say "9. initfs partition, first page's OOB bytes: the JFFS2 clean marker 85 19 03 20 08 00 00 00 at 2..9"
nanddump -l 2048 --oob -p "$IDEV" 2>/dev/null | tail -n 4

say "10. the initfs partition mounted as JFFS2 on /mnt/initfs: the files of the sample firmware"
mount -t jffs2 -o ro "mtd$INUM" /mnt/initfs && (
  cd /mnt/initfs && ls -lR
  say "/mnt/initfs/etc/version"
  cat /mnt/initfs/etc/version
  say "/mnt/initfs/bin/hello"
  /mnt/initfs/bin/hello
)
umount /mnt/initfs 2>/dev/null
