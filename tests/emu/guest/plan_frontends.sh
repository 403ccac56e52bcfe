# shellcheck shell=dash
# The update front ends driving the tool on the 2048-byte chip: Debian's
# mender-client through our Update Module, Debian's swupdate through our Lua
# handler, and our RAUC hooks run as RAUC runs them. The tool the
# front ends find on PATH runs in the namespace of the other plans' runs
# (identity VF100:A1, the partition table), through flasher_on_path.
. /vf/check.sh
chip_2k
insmod "$MODS/jffs2.ko" || info "insmod jffs2 failed"
flasher_on_path
printf 'product VF100\nhw-build A1\n' >"$T/component_version"

# mender_install NAME ARTIFACT: "mender install" of the Artifact from a fresh
# client state, its output and status in $T/NAME.out and .rc ($RUN: NAME).
mender_install() {
  # shellcheck disable=SC2034 # read by snapshot
  RUN=$1
  rm -rf /var/lib/mender/mender-store* /var/lib/velkan
  timeout 300 mender --no-syslog install "$2" >"$T/$1.out" 2>&1
  echo $? >"$T/$1.rc"
}

# expect_installed WHAT: the front end's run $RUN (output in $T/$RUN.out)
# ended with status 0.
expect_installed() {
  if [ "$(cat "$T/$RUN.rc")" != 0 ]; then
    bad "$1: status $(cat "$T/$RUN.rc"), expected 0"
    show "$RUN" "$T/$RUN.out"
  fi
}

# expect_refused WHAT PATTERN WHERE: the front end's run $RUN failed, and its
# output has a line that PATTERN (grep) matches, the tool's line WHERE.
expect_refused() {
  [ "$(cat "$T/$RUN.rc")" != 0 ] || bad "$1: status 0"
  grep -q -- "$2" "$T/$RUN.out" || {
    bad "$1: the tool's line is not $3"
    show "$RUN" "$T/$RUN.out"
  }
}

# expect_as_direct WHAT: both partitions, data and OOB, hold what a direct
# flash of basic.velkan onto a fresh chip leaves (dumped once, in $T/direct.*).
expect_as_direct() {
  local p
  dump "$KDEV" "$T/now.kernel" --oob
  dump "$IDEV" "$T/now.initfs" --oob
  if [ ! -f "$T/direct.initfs" ]; then
    nand_load || return
    flasher direct ident=VF100:A1 -f -F "$DATA/basic.velkan"
    expect_status 0
    dump "$KDEV" "$T/direct.kernel" --oob
    dump "$IDEV" "$T/direct.initfs" --oob
  fi
  for p in kernel initfs; do
    cmp -s "$T/direct.$p" "$T/now.$p" || bad "$1: the $p partition differs from a direct flash"
  done
}

# expect_record WHAT FILE: the front end's run left its record, a successful
# flash of both partitions.
expect_record() {
  if [ -f "$2" ]; then
    send_record "$1" '{"status":0,"signal":null,"completed":["kernel","initfs"]}' "$2"
  else
    bad "$1: no record in $2"
  fi
}

# An Artifact of basic.velkan: mender install succeeds, and both partitions
# hold what a direct flash of the container leaves; the record is kept in
# /var/lib/velkan.
t_mender_install() {
  nand_load || return
  mender_install mender /fe/basic.mender
  expect_installed "mender install"
  expect_record mender /var/lib/velkan/mender.json
  expect_as_direct "mender install"
}

# An Artifact of a container with no image for the device's product: mender
# install fails with the tool's line in its output, before any erase.
t_mender_other_product() {
  nand_load || return
  seed
  snapshot before
  mender_install mender-other /fe/other.mender
  expect_refused "mender install of other.mender" "No suitable kernel image found\." \
    "in Mender's output"
  snapshot after
}

# rauc_hook NAME HOOK CONTAINER: the RAUC hooks run as RAUC runs them, with
# the environment its documentation gives for that hook, for a bundle mounted
# at $T/bundle that holds CONTAINER as fw.velkan; output and status in
# $T/NAME.out, .err and .rc.
rauc_hook() {
  # shellcheck disable=SC2034 # read by the checks
  RUN=$1
  rm -rf "$T/bundle" /var/lib/velkan
  mkdir -p "$T/bundle"
  cp "$3" "$T/bundle/fw.velkan"
  env RAUC_SYSTEM_COMPATIBLE=velkan-vf100 RAUC_MF_COMPATIBLE=velkan-vf100 RAUC_MF_VERSION=1.0 \
    RAUC_MOUNT_PREFIX="$T" RAUC_BUNDLE_MOUNT_POINT="$T/bundle" RAUC_SLOT_NAME=firmware.0 \
    RAUC_SLOT_CLASS=firmware RAUC_SLOT_DEVICE=/dev/mtd0 RAUC_IMAGE_CLASS=firmware \
    RAUC_IMAGE_NAME="$T/bundle/fw.velkan" RAUC_IMAGE_DIGEST=0 \
    timeout 180 /fe/rauc-hooks.sh "$2" >"$T/$1.out" 2>"$T/$1.err"
  echo $? >"$T/$1.rc"
}

# The RAUC hooks with basic.velkan: install-check accepts it, slot-install
# flashes it as a direct flash does and keeps the record in /var/lib/velkan.
t_rauc_hooks() {
  nand_load || return
  rauc_hook rauc-check install-check "$DATA/basic.velkan"
  expect_status 0
  rauc_hook rauc-install slot-install "$DATA/basic.velkan"
  expect_status 0
  expect_record rauc /var/lib/velkan/rauc.json
  expect_as_direct "rauc slot-install"
}

# A container with no image for the device's product: install-check rejects
# it (status 10) with the tool's line on stderr and writes nothing.
t_rauc_other_product() {
  nand_load || return
  seed
  snapshot before
  rauc_hook rauc-other install-check /fe/other.velkan
  expect_status 10
  expect_err_is "No suitable kernel image found."
  snapshot after
}

# swupdate_install NAME SWU: "swupdate -i" of the .swu (signed with the key of
# /fe/swupdate.pem, for hardware revision A1), its output and status in
# $T/NAME.out and .rc.
swupdate_install() {
  # shellcheck disable=SC2034 # read by snapshot
  RUN=$1
  rm -rf /var/lib/velkan
  timeout 300 swupdate -H VF100:A1 -k /fe/swupdate.pem -i "$2" >"$T/$1.out" 2>&1
  echo $? >"$T/$1.rc"
}

# basic.swu: swupdate succeeds, and both partitions hold what a direct flash
# of the container leaves; the record is kept in /var/lib/velkan. SWUpdate's
# progress (its client swupdate-progress) rises to 100 % while the image is
# copied out, then again from 0 to 100 % with the flasher's "run: N%".
t_swupdate_install() {
  nand_load || return
  swupdate-progress -w >"$T/progress.out" 2>&1 &
  local progress=$!
  swupdate_install swupdate /fe/basic.swu
  kill $progress
  tr '\r' '\n' <"$T/progress.out" | awk '/ 100% \(fw\.velkan\)/ { s = s == 2 ? 3 : s == 0 ? 1 : s }
    / 0% \(fw\.velkan\)/ && s == 1 { s = 2 } END { exit s != 3 }' ||
    bad "swupdate -i basic.swu: SWUpdate's progress does not rise again from 0 to 100 % after the copy"
  expect_installed "swupdate -i basic.swu"
  expect_record swupdate /var/lib/velkan/swupdate.json
  expect_as_direct "swupdate -i basic.swu"
}

# other.swu, whose container has no image for the device's product: swupdate
# fails with the tool's line in its output, before any erase.
t_swupdate_other_product() {
  nand_load || return
  seed
  snapshot before
  swupdate_install swupdate-other /fe/other.swu
  expect_refused "swupdate -i other.swu" "ERROR.*No suitable kernel image found." \
    "among SWUpdate's errors"
  snapshot after
}

run_tests mender-install mender-other-product rauc-hooks rauc-other-product swupdate-install \
  swupdate-other-product
