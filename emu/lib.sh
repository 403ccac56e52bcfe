# Host side of the emulated ARM device, sourced by the demo, the test suite
# and the benchmark.
# shellcheck shell=bash
# Expects the current directory to be the repository root.

EMU_CACHE=.cache/guest
EMU_BUILD=build/emu
EMU_GUEST=emu/guest

emu_say() { printf '== %s\n' "$*" >&2; }

EMU_PACK=build/host/velkan-pack

# Fetches the guest packages, builds the device binary and the host container
# tool.
emu_prepare() {
  emu/fetch.sh
  emu_say "device build"
  scripts/build.sh device >/dev/null
  emu_say "host build of velkan-pack"
  cmake --preset host >/dev/null
  if ! cmake --build --preset host --target velkan-pack >/dev/null; then
    echo "emu: the host container tool velkan-pack does not build" >&2
    return 1
  fi
  mkdir -p "$EMU_BUILD"
}

emu_pack() { "$EMU_PACK" "$@"; }

# emu_noise NAME SIZE: SIZE bytes that look random (incompressible) and are
# the same on every run for the same NAME, so that the flash contents of two
# runs can be compared byte for byte.
emu_noise() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass "pass:$1"; }

# emu_jffs2 TREE ERASE_SIZE OUT: a JFFS2 image of TREE without clean markers,
# every file dated 2024-01-01 so that the image is the same on every run.
emu_jffs2() {
  find "$1" -exec touch -h -d @1704067200 {} +
  mkfs.jffs2 -n -e "$2" -r "$1" -o "$3"
}

# Packs the guest's root file system: busybox, the mtd-utils programs with
# their libraries, the two modules, the tool, the guest scripts, the data
# folder given ($1, copied to /data) and any further files (copied to /vf,
# where the plans find them). Writes $2. EMU_OVERLAY=DIR copies that folder's
# tree over the root last.
emu_initramfs() {
  local data=$1 out=$2 root
  shift 2
  root="$EMU_BUILD/initramfs"
  rm -rf "$root"
  mkdir -p "$root"/{bin,lib,modules,proc,sys,dev,tmp,mnt,vf}
  cp "$EMU_CACHE/busybox" "$root/bin/busybox"
  cp "$EMU_CACHE"/mtd/bin/* "$root/bin/"
  cp "$EMU_CACHE"/mtd/lib/* "$root/lib/"
  cp "$EMU_CACHE"/modules/*.ko "$root/modules/"
  cp build/device/velkan-flasher "$EMU_GUEST"/*.sh "$@" "$root/vf/"
  cp "$EMU_GUEST/init" "$root/init"
  chmod 755 "$root/init" "$root"/vf/*
  cp -r "$data" "$root/data"
  [ -z "${EMU_OVERLAY:-}" ] || cp -r "$EMU_OVERLAY"/. "$root/"
  (cd "$root" && find . -print0 | LC_ALL=C sort -z | cpio -o -0 -H newc --quiet) | gzip -1 >"$out"
}

# emu_frontends_root DIR: a root file system overlay (EMU_OVERLAY) with the
# update front ends: Debian's mender-client with its libraries and Update
# Modules, ours beside them, the device type "vf100-emu", and an empty
# client configuration; Debian's swupdate with our Lua handler.
emu_frontends_root() {
  local out=$1 fe=$EMU_CACHE/frontends
  rm -rf "$out"
  mkdir -p "$out"/{usr/bin,lib,usr/share/lua/5.3,var/lib/mender,etc/mender}
  cp "$fe"/bin/* "$out/usr/bin/"
  cp integration/swupdate/swupdate_handlers.lua "$out/usr/share/lua/5.3/"
  cp "$fe"/lib/* "$out/lib/"
  cp -r "$fe/share/mender" "$out/usr/share/"
  cp integration/mender/velkan "$out/usr/share/mender/modules/v3/velkan"
  echo "device_type=vf100-emu" >"$out/var/lib/mender/device_type"
  echo '{}' >"$out/etc/mender/mender.conf"
  echo "artifact_name=factory" >"$out/etc/mender/artifact_info"
}

# Boots the guest with the initramfs $1 and runs the guest plan $2; the console
# goes to $3. Bounded by $4 seconds. Returns qemu's status (124 on timeout).
# EMU_ONLY=NAME runs only the guest test of that name; EMU_QEMU_ARGS adds
# options to qemu (words split at blanks).
emu_boot() {
  local initramfs=$1 plan=$2 log=$3 limit=$4
  # shellcheck disable=SC2086 # the extra options are separate words
  timeout --foreground -k 5 "$limit" qemu-system-arm -M virt -cpu cortex-a15 -m 512 ${EMU_QEMU_ARGS:-} \
    -nographic -no-reboot -accel tcg -nic none -monitor none -serial stdio \
    -kernel "$EMU_CACHE/vmlinuz" -initrd "$initramfs" \
    -append "console=ttyAMA0 loglevel=1 panic=-1 vf.plan=$plan${EMU_ONLY:+ vf.only=$EMU_ONLY}" \
    </dev/null 2>&1 | tr -d '\r' >"$log" && true
  return "${PIPESTATUS[0]}"
}
