# shellcheck shell=dash
# Assertions of the emulated device's test plans (busybox sh), on top of the
# guest library.
. /vf/lib.sh

# The simulated chip as the tests expect it: geometry of both partitions and
# the bad blocks of "badblocks=" (one in each partition).
t_chip() {
  nand_load badblocks=1,$((KBLOCKS + 2)) || return
  local num field want got
  for num in "$KNUM:$KBLOCKS" "$INUM:$IBLOCKS"; do
    for field in "type:nand" "writesize:$PAGE" "oobsize:$OOB" "erasesize:$BLOCK" \
      "size:$((${num#*:} * BLOCK))" "bad_blocks:1"; do
      want=${field#*:}
      got=$(cat "/sys/class/mtd/mtd${num%:*}/${field%%:*}")
      [ "$got" = "$want" ] || bad "mtd${num%:*} ${field%%:*} is $got, expected $want"
    done
  done
}

# --- tests -------------------------------------------------------------------

# vf.only=NAME on the kernel command line runs that test alone.
ONLY=$(sed -n 's/.*vf\.only=\([A-Za-z0-9_-]*\).*/\1/p' /proc/cmdline)

# run_test NAME FUNCTION: runs the function in a subshell and reports it.
run_test() {
  TEST=$1
  [ -z "$ONLY" ] || [ "$ONLY" = "$1" ] || return 0
  rm -f "$T/failed"
  info "test $TEST at $(cut -d' ' -f1 /proc/uptime) s"
  ("$2")
  local rc=$?
  [ $rc -eq 0 ] || bad "test body ended with status $rc"
  if [ -e "$T/failed" ]; then
    echo "VF-RESULT FAIL $TEST"
  else
    echo "VF-RESULT PASS $TEST"
  fi
}

expect_rc() {
  local rc
  rc=$(cat "$T/$1.rc")
  if [ "$rc" != "$2" ]; then
    bad "$1: exit status $rc, expected $2"
    show "$1 stdout" "$T/$1.out"
    show "$1 stderr" "$T/$1.err"
  fi
}

# expect_lines NAME out|err LINE...: the stream holds exactly these lines.
expect_lines() {
  local name=$1 stream=$2
  shift 2
  printf '%s\n' "$@" >"$T/expected.lines"
  [ $# -gt 0 ] || : >"$T/expected.lines"
  if ! cmp -s "$T/expected.lines" "$T/$name.$stream"; then
    bad "$name: std$stream differs from the expected lines"
    show "expected" "$T/expected.lines"
    show "got" "$T/$name.$stream"
  fi
}

# expect_line NAME out|err TEXT: some line of the stream equals TEXT.
expect_line() {
  if ! grep -qxF -- "$3" "$T/$1.$2"; then
    bad "$1: no line '$3' in std$2"
    show "std$2" "$T/$1.$2"
  fi
}

expect_no_line() {
  if grep -qxF -- "$3" "$T/$1.$2"; then
    bad "$1: unexpected line '$3' in std$2"
  fi
}

# expect_failed_run NAME [MESSAGE]: status 1, the message on stderr, no success.
expect_failed_run() {
  expect_rc "$1" 1
  [ -z "$2" ] || expect_line "$1" err "$2"
  if grep -q 'successfully flashed' "$T/$1.out"; then
    bad "$1: success line printed after a failure"
  fi
}

# line_no NAME out TEXT: number of the first line that equals TEXT (0: none).
line_no() {
  grep -nxF -- "$3" "$T/$1.$2" | head -n1 | cut -d: -f1 | grep . || echo 0
}

# --- flash contents ----------------------------------------------------------------

# expect_content DEV EXPECTED: the partition's good blocks, in order, hold the
# expected bytes from the start, then nothing but 0xFF.
expect_content() {
  local dev=$1 expected=$2 size rest
  dump "$dev" "$T/content.dump"
  size=$(stat -c %s "$expected")
  head -c "$size" "$T/content.dump" >"$T/content.head"
  if ! cmp "$T/content.head" "$expected" >"$T/cmp.out" 2>&1; then
    bad "$dev does not hold $(basename "$expected") ($(cat "$T/cmp.out"))"
  fi
  rest=$(tail -c +$((size + 1)) "$T/content.dump" | tr -d '\377' | wc -c)
  if [ "$rest" != 0 ]; then
    bad "$dev: $rest bytes other than 0xFF behind $(basename "$expected")"
  fi
  rm -f "$T/content.dump" "$T/content.head"
}

# The kernel partition's first good page: the boot header.
# expect_header DEV SIZE [FIRST_GOOD_BLOCK]
expect_header() {
  local dev=$1 size=$2 hex want
  dump "$dev" "$T/header.dump"
  hex=$(hexdump -n 20 -v -e '1/1 "%02x"' "$T/header.dump")
  want=$(printf '5049524c21696d67''02000000''00000000''%02x%02x%02x%02x' \
    $((size & 255)) $((size >> 8 & 255)) $((size >> 16 & 255)) $((size >> 24 & 255)))
  [ "$hex" = "$want" ] || bad "$dev: header starts $hex, expected $want"
  local zeros
  zeros=$(head -c "$PAGE" "$T/header.dump" | tail -c $((PAGE - 20)) | tr -d '\0' | wc -c)
  [ "$zeros" = 0 ] || bad "$dev: $zeros non-zero bytes in the rest of the header page"
  rm -f "$T/header.dump"
}

# Free OOB bytes of a block's first page as hex, from an --oob dump.
free_oob() {
  local file=$1 block=$2
  hexdump -s $(((block * PPB) * (PAGE + OOB) + PAGE + FREE_OFF)) -n "$FREE_LEN" -v \
    -e '1/1 "%02x"' "$file"
}

# expect_markers DEV BLOCKS yes|no "BAD BLOCKS": every good block carries the
# clean marker in its first page's free OOB bytes, the rest of them 0xFF (yes),
# or all those bytes are 0xFF (no).
expect_markers() {
  local dev=$1 blocks=$2 want=$3 badlist=" $4 " b got ff marked wrong=0
  ff=$(head -c "$FREE_LEN" /dev/zero | tr '\0' '\377' | hexdump -v -e '1/1 "%02x"')
  if [ "$want" = yes ]; then
    marked="$MARKER$(echo "$ff" | cut -c $((${#MARKER} + 1))-)"
  else
    marked=$ff
  fi
  dump "$dev" "$T/oob.dump" --oob
  b=0
  while [ $b -lt "$blocks" ]; do
    case $badlist in
    *" $b "*) ;;
    *)
      got=$(free_oob "$T/oob.dump" $b)
      if [ "$got" != "$marked" ]; then
        [ $wrong -lt 5 ] && bad "$dev block $b: free OOB bytes $got, expected $marked"
        wrong=$((wrong + 1))
      fi
      ;;
    esac
    b=$((b + 1))
  done
  [ $wrong -eq 0 ] || bad "$dev: $wrong blocks with wrong free OOB bytes"
  rm -f "$T/oob.dump"
}

# expect_files DEV TREE: the partition mounts as JFFS2 and holds the tree.
expect_files() {
  local num=${1#/dev/mtd}
  if ! mount -t jffs2 -o ro "mtd$num" /mnt/check 2>"$T/mount.err"; then
    bad "mount -t jffs2 mtd$num failed"
    show mount "$T/mount.err"
    return
  fi
  if ! diff -r "$2" /mnt/check >"$T/diff.out" 2>&1; then
    bad "files on $1 differ from $(basename "$2")"
    show diff "$T/diff.out"
  fi
  umount /mnt/check
}

# One page of data at the start of both partitions, where the tool's first
# erase or write would land.
seed() {
  head -c "$(cat "/sys/class/mtd/mtd$KNUM/writesize")" "$DATA/kernel.bin" >"$T/seed"
  { nandwrite -q "$KDEV" "$T/seed" && nandwrite -q "$IDEV" "$T/seed"; } || bad "nandwrite failed"
}

# expect_flashed KERNEL INITFS TREE "KERNEL BAD BLOCKS" "INITFS BAD BLOCKS": the
# kernel partition holds exp-KERNEL.bin, header page first, without clean
# markers; the initfs partition holds exp-INITFS.bin with them and mounts as TREE.
expect_flashed() {
  expect_header "$KDEV" $(($(size_of "$DATA/exp-$1.bin") - PAGE))
  expect_content "$KDEV" "$DATA/exp-$1.bin"
  expect_content "$IDEV" "$DATA/exp-$2.bin"
  expect_markers "$KDEV" "$KBLOCKS" no "$4"
  expect_markers "$IDEV" "$IBLOCKS" yes "$5"
  expect_files "$IDEV" "$DATA/$3"
}

# Snapshot of both partitions with OOB, for before/after comparisons.
snapshot() {
  dump "$KDEV" "$T/$1.kernel" --oob
  dump "$IDEV" "$T/$1.initfs" --oob
}

expect_same_snapshot() {
  cmp -s "$T/$1.kernel" "$T/$2.kernel" || bad "kernel partition changed ($1 -> $2)"
  cmp -s "$T/$1.initfs" "$T/$2.initfs" || bad "initfs partition changed ($1 -> $2)"
  rm -f "$T/$1".* "$T/$2".*
}

