#!/bin/sh
# Runs inside "unshare -m": gives the tool the /proc it should see, then
# becomes the tool. Usage: inns.sh ident|noident|realproc WORKDIR TOOL ARGS...
how=$1 work=$2
shift 2
case $how in
realproc)
  mount --bind "$work/mtd.table" /proc/mtd || exit 90
  ;;
noident | ident)
  mount -t tmpfs none /proc || exit 90
  cp "$work/mtd.table" /proc/mtd || exit 90
  if [ "$how" = ident ]; then
    cp "$work/component_version" /proc/component_version || exit 90
  fi
  ;;
*)
  echo "inns.sh: unknown mode $how" >&2
  exit 90
  ;;
esac
exec "$@"
