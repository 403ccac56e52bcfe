#!/bin/bash
# Fetches the update front ends the emulated device's "frontends" plan runs
# from Debian's armhf packages and caches them under .cache/guest/frontends/
# (never installed on the host), called by fetch.sh:
#   bin/mender      Debian's mender-client
#   bin/swupdate    Debian's swupdate (with its Lua image handlers) and
#                   swupdate-progress, its progress client
#   lib/            the shared libraries they need (NEEDED entries, transitively)
#   share/mender/   the client's own Update Modules (a sibling of ours)
# A cache whose stamp names the same package versions is kept as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
. emu/needed_libs.sh

cache=.cache/guest/frontends
packages=(mender-client swupdate)

# The packages and what they depend on, by name and version.
deps=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances "${packages[@]/%/:armhf}" | sed -n 's/^\([a-z0-9][^ <]*\):armhf$/\1/p' | sort -u)
mapfile -t names <<<"$deps"
want=$(apt-cache show --no-all-versions "${names[@]/%/:armhf}" |
  sed -n 's/^Package: //p; s/^Version: //p' | paste -d' ' - -)
if [ -f "$cache/packages" ] && [ "$(cat "$cache/packages")" = "$want" ] && [ -x "$cache/bin/swupdate-progress" ]; then
  exit 0
fi

echo "fetch_frontends.sh: fetching ${packages[*]} and $(($(wc -w <<<"$deps") - ${#packages[@]})) packages it needs"
work=$cache.tmp
rm -rf "$work" "$cache"
mkdir -p "$work/debs" "$work/root" "$cache/bin" "$cache/lib" "$cache/share"
(
  cd "$work/debs"
  apt-get download -q "${names[@]/%/:armhf}" 2> >(grep -v 'Download is performed unsandboxed' >&2)
)
for deb in "$work"/debs/*.deb; do
  dpkg-deb -x "$deb" "$work/root"
done

root=$work/root
programs=(mender swupdate swupdate-progress)
for prog in "${programs[@]}"; do
  cp "$root/usr/bin/$prog" "$cache/bin/$prog"
done
needed_libs_copy "$root" "$cache/lib" "${programs[@]/#/$cache/bin/}"
cp -r "$root/usr/share/mender" "$cache/share/mender"

rm -rf "$work"
echo "$want" >"$cache/packages"
echo "fetch_frontends.sh: cached ${packages[*]} in $cache"
