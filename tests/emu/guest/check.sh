# shellcheck shell=dash
# Assertions of the emulated device's test plans (busybox sh), on top of the
# guest library.
. /vf/lib.sh

# The lines of a run that flashes both partitions.
# shellcheck disable=SC2034 # read by the plans
FLASHED="Reading and flashing kernel image
Reading and flashing initfs image
Image(s) successfully flashed"

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

# run_tests NAME...: runs each test's function t_NAME (dashes as underscores)
# in a subshell and reports it.
run_tests() {
  for TEST; do
    [ -z "$ONLY" ] || [ "$ONLY" = "$TEST" ] || continue
    rm -f "$T/failed"
    info "test $TEST at $(cut -d' ' -f1 /proc/uptime) s"
    ("t_$(echo "$TEST" | tr - _)") || bad "test body ended with status $?"
    if [ -e "$T/failed" ]; then
      echo "VF-RESULT FAIL $TEST"
    else
      echo "VF-RESULT PASS $TEST"
    fi
  done
}

# --- what a run printed --------------------------------------------------------
# Each check reads the last run (flasher NAME ...) and, when it fails, names
# the run and shows what was expected and what came.

# expect_status N: the run ended with status N. A run that fails (N not 0)
# never prints the success line.
expect_status() {
  local rc
  rc=$(cat "$T/$RUN.rc")
  if [ "$rc" != "$1" ]; then
    bad "$RUN: exit status $rc, expected $1"
    show "$RUN stdout" "$T/$RUN.out"
    show "$RUN stderr" "$T/$RUN.err"
  fi
  [ "$1" = 0 ] || expect_out_lacks "successfully flashed"
}

# expect_out_is LINES, expect_err_is LINES: the stream is exactly these lines
# ("": nothing at all).
expect_out_is() { check_stream out is "$1"; }
expect_err_is() { check_stream err is "$1"; }
# expect_out_has LINES, expect_err_has LINES: the stream has these whole
# lines, in this order.
expect_out_has() { check_stream out has "$1"; }
expect_err_has() { check_stream err has "$1"; }
# expect_out_lacks TEXT, expect_err_lacks TEXT: no line of the stream
# contains TEXT.
expect_out_lacks() { check_stream out lacks "$1"; }
expect_err_lacks() { check_stream err lacks "$1"; }

# check_stream out|err is|has|lacks TEXT
check_stream() {
  local file=$T/$RUN.$1
  printf "%s${3:+\\n}" "$3" >"$T/expected.lines"
  case $2 in
  is) cmp -s "$T/expected.lines" "$file" ;;
  has) [ "$(grep -xF -- "$3" "$file" | uniq)" = "$3" ] ;;
  lacks) ! grep -qF -- "$3" "$file" ;;
  esac && return
  bad "$RUN: std$1 fails expect_$1_$2 with these lines"
  show expected "$T/expected.lines"
  show got "$file"
}

# expect_progress FILE file|terminal: the --progress lines in FILE rise to 100 %
# for each partition and phase; on a file at most 11 lines each, on a terminal
# rewritten in place.
expect_progress() {
  [ "$2" = file ] || grep -q "$(printf '\r')" "$1" || bad "$1: no line rewritten in place"
  tr '\r' '\n' <"$1" | awk -v file="$2" '
    /^(kernel|initfs): (erase|write|read back) +[0-9]+%$/ {
      key = $0; sub(/ +[0-9]+%$/, "", key); pct = $NF + 0
      if (key in last && pct < last[key]) print key ": " last[key] "% then " pct "%"
      last[key] = pct; count[key]++
    }
    END {
      for (key in last) {
        n++
        if (last[key] != 100) print key ": ends at " last[key] "%"
        if (file == "file" && count[key] > 11) print key ": " count[key] " lines"
      }
      if (n != 6) print n " phases instead of 6"
    }' >"$T/progress.bad"
  [ ! -s "$T/progress.bad" ] || bad "$1: $(cat "$T/progress.bad")"
  expect_run_progress "$1"
}

# expect_run_progress FILE: the run's lines in FILE ("run: N%") rise from 0 to
# 100 %, one at each new tenth.
expect_run_progress() {
  tr '\r' '\n' <"$1" | awk '
    /^run: [0-9]+%$/ {
      pct = $2 + 0
      if (n && int(pct / 10) <= int(last / 10)) print "run: " last "% then " pct "%"
      if (!n && pct != 0) print "run: starts at " pct "%"
      last = pct; n++
    }
    END { if (last != 100 || n > 11) print "run: " n " lines, the last " last "%" }' >"$T/run.bad"
  [ ! -s "$T/run.bad" ] || bad "$1: $(cat "$T/run.bad")"
}

# send_record NAME EXPECTED FILE: the record of --report in FILE goes to the
# host behind the object EXPECTED, for tests/emu/check_records.py.
send_record() {
  echo "VF-JSON $TEST/$1 $2"
  sed "s|^|VF-JSON $TEST/$1 |" "$3"
}

# --- flash contents ----------------------------------------------------------------

# expect_content DEV EXPECTED: the partition's good blocks, in order, hold the
# expected bytes from the start (for a kernel: the boot header page first),
# then nothing but 0xFF.
expect_content() {
  local dev=$1 expected=$2 size rest
  dump "$dev" "$T/content.dump"
  size=$(size_of "$expected")
  head -c "$size" "$T/content.dump" >"$T/content.head"
  if ! cmp "$T/content.head" "$expected" >"$T/cmp.out" 2>&1; then
    bad "$RUN: $dev does not hold $(basename "$expected") ($(cat "$T/cmp.out"))"
  fi
  rest=$(tail -c +$((size + 1)) "$T/content.dump" | tr -d '\377' | wc -c)
  [ "$rest" = 0 ] || bad "$RUN: $dev has $rest bytes other than 0xFF behind $(basename "$expected")"
  rm -f "$T/content.dump" "$T/content.head"
}

# expect_markers DEV yes|no "BAD BLOCKS": every good block carries the clean
# marker in its first page's free OOB bytes, the rest of them 0xFF (yes), or
# all those bytes are 0xFF (no).
expect_markers() {
  local dev=$1 skip=" $3 " b=0 blocks got want wrong="" first=""
  want=$(head -c "$FREE_LEN" /dev/zero | tr '\0' '\377' | hexdump -v -e '1/1 "%02x"')
  [ "$2" = no ] || want=$MARKER$(echo "$want" | cut -c $((${#MARKER} + 1))-)
  dump "$dev" "$T/oob.dump" --oob
  blocks=$(($(size_of "$T/oob.dump") / (PPB * (PAGE + OOB))))
  while [ $b -lt $blocks ]; do
    got=$(hexdump -s $((b * PPB * (PAGE + OOB) + PAGE + FREE_OFF)) -n "$FREE_LEN" -v \
      -e '1/1 "%02x"' "$T/oob.dump")
    case $skip in *" $b "*) got=$want ;; esac
    [ "$got" = "$want" ] || {
      wrong="$wrong $b"
      first=${first:-$got}
    }
    b=$((b + 1))
  done
  [ -z "$wrong" ] || bad "$RUN: $dev blocks$wrong: free OOB bytes $first (first), expected $want"
  rm -f "$T/oob.dump"
}

# expect_flashed KERNEL INITFS "KERNEL BAD BLOCKS" "INITFS BAD BLOCKS": the
# kernel partition holds exp-KERNEL.bin without clean markers; the initfs
# partition holds exp-INITFS.bin with them and mounts as JFFS2 with the files
# of INITFS.tree.
expect_flashed() {
  expect_content "$KDEV" "$DATA/exp-$1.bin"
  expect_content "$IDEV" "$DATA/exp-$2.bin"
  expect_markers "$KDEV" no "$3"
  expect_markers "$IDEV" yes "$4"
  if ! mount -t jffs2 -o ro "mtd$INUM" /mnt/check 2>"$T/mount.err"; then
    bad "$RUN: mount -t jffs2 mtd$INUM failed"
    show mount "$T/mount.err"
    return
  fi
  diff -r "$DATA/$2.tree" /mnt/check >"$T/diff.out" 2>&1 || bad "$RUN: files on $IDEV differ from $2.tree"
  show diff "$T/diff.out"
  umount /mnt/check
}

# One page of data at the start of both partitions, where the tool's first
# erase or write would land.
seed() {
  head -c "$(cat "/sys/class/mtd/mtd$KNUM/writesize")" "$DATA/kernel.bin" >"$T/seed"
  { nandwrite -q "$KDEV" "$T/seed" && nandwrite -q "$IDEV" "$T/seed"; } || bad "nandwrite failed"
}

# snapshot before|after [PARTITION]: both partitions with OOB; "after" compares
# PARTITION (default: both) with "before".
snapshot() {
  dump "$KDEV" "$T/$1.kernel" --oob
  dump "$IDEV" "$T/$1.initfs" --oob
  [ "$1" = before ] && return
  local p
  for p in ${2:-kernel initfs}; do
    cmp -s "$T/before.$p" "$T/after.$p" || bad "$RUN: $p partition changed"
  done
  rm -f "$T"/before.* "$T"/after.*
}
