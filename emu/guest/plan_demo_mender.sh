# shellcheck shell=dash
# The front end demo: Debian's mender-client installs the Artifact
# /data/demo.mender through the Update Module "velkan", which checks the
# container and flashes it; then the record the module kept and the flashed
# initfs.
. /vf/lib.sh
chip_2k
insmod "$MODS/jffs2.ko"
TEST=demo-mender


nand_load
printf 'product %s\nhw-build %s\n' VF100 A1 >"$T/component_version"
flasher_on_path
say "3. on the device: mender install /data/demo.mender (Mender runs /usr/share/mender/modules/v3/velkan: --check, then -f -K --report)"
mender --no-syslog install /data/demo.mender 2>&1
status=$?
demo_flashed "$status"

say "4. the record the module kept, /var/lib/velkan/mender.json: the plan, each phase's end with the run's overall percentage, the end"
grep -E '"event":"(plan|phase_end|end)"' /var/lib/velkan/mender.json

say "5. the initfs partition mounted as JFFS2: /etc/version of the firmware Mender installed"
mount -t jffs2 -o ro "mtd$INUM" /mnt/initfs && cat /mnt/initfs/etc/version
umount /mnt/initfs 2>/dev/null
