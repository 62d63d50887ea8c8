#!/usr/bin/env bash
# Checks that the amd64 Debian package in DIST installs and converts the
# sample picture on every system the README names, as their users have them:
# a fresh minimal Debian 11, 12 and 13 (debootstrap --variant=minbase, from
# the Debian mirror this machine's apt uses), each in a chroot. Fails also
# when the program asks for a newer C library than its Depends line allows
# (none at all without one). Needs root, debootstrap and the mirror.
#   packaging/check_debian.sh DIST [SUITE...]     (default: bullseye bookworm trixie)
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(realpath "$1")
shift
suites=(bullseye bookworm trixie)
[ $# -eq 0 ] || suites=("$@")
deb=$(ls "$dist"/corvalin_*_amd64.deb)
command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null; }
mirror=$(grep -h -o -m 1 -E 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
         head -n 1 | tr -d ' ' || true)
mirror=${mirror:-http://deb.debian.org/debian}

# The newest GLIBC_ version the program asks for, against its Depends line.
work=$(mktemp -d)
trap 'for m in "$work"/*/proc; do umount "$m" 2>/dev/null || true; done; rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/pkg"
needs=$(objdump -T "$work/pkg/usr/bin/corvalin" 2>/dev/null | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1 || true)
allows=$(dpkg-deb -f "$deb" Depends | grep -o 'libc6 (>= [0-9.]*)' | grep -o '[0-9.]*)' | tr -d ')' || true)
if [ -n "$needs" ] && { [ -z "$allows" ] || [ "$(printf '%s\n%s\n' "$needs" "$allows" | sort -V | tail -n 1)" != "$allows" ]; }; then
  echo "the program needs glibc $needs, its Depends line allows ${allows:-any}"
  exit 1
fi

# The TIFF each system must make: this machine's, from the same program.
cp examples/sky.hdr "$work/"
(cd "$work" && ./pkg/usr/bin/corvalin sky.hdr >/dev/null)

for suite in "${suites[@]}"; do
  root=$work/$suite
  log=$work/$suite.log
  echo "== $suite: debootstrap from $mirror"
  if ! debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$log" 2>&1; then
    tail -n 20 "$log"
    echo "debootstrap $suite failed"
    exit 1
  fi
  cp "$deb" examples/sky.hdr "$root/tmp/"
  mount -t proc proc "$root/proc"
  chroot "$root" dpkg -i "/tmp/$(basename "$deb")" >/dev/null
  out=$(chroot "$root" sh -c 'cd /tmp && corvalin sky.hdr; echo "status $?"')
  umount "$root/proc"
  if ! grep -q '^Finished!$' <<<"$out" || ! grep -q '^status 0$' <<<"$out" || [ ! -s "$root/tmp/sky.tif" ]; then
    echo "$out"
    echo "the package does not convert the sample on $suite"
    exit 1
  fi
  cmp -s "$root/tmp/sky.tif" "$work/sky.tif" || { echo "the TIFF made on $suite differs"; exit 1; }
  echo "$suite: installs, converts the sample"
done
