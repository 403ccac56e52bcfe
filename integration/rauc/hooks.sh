#!/bin/sh
# RAUC bundle hooks for a VELKAN container, run by RAUC with the environment
# its documentation gives for bundle hooks (manifest: [hooks] filename=hooks.sh,
# hooks=install-check; [image.firmware] hooks=install). velkan-flasher is found
# on PATH.
#   install-check  the bundle's one *.velkan file, checked with --check against
#                  this device; a refusal exits 10, RAUC's "reject" status,
#                  with the flasher's line on stderr
#   slot-install   the image ($RAUC_IMAGE_NAME) flashed with -f -K, its record
#                  in /var/lib/velkan/rauc.json; the status is the flasher's
# Every other hook does nothing.
records=/var/lib/velkan

case $1 in
install-check)
  set -- "$RAUC_BUNDLE_MOUNT_POINT"/*.velkan
  if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "velkan: the bundle must hold one container (*.velkan), not: $*" >&2
    exit 10
  fi
  velkan-flasher --check -F "$1" >/dev/null || exit 10
  ;;
slot-install)
  mkdir -p "$records" || exit 1
  exec velkan-flasher -f -K --report "$records/rauc.json" -F "$RAUC_IMAGE_NAME"
  ;;
esac
exit 0
