#!/usr/bin/env bash
# The Windows build under Wine, in the cases only Linux can arrange:
#   - interrupted mid-conversion, over an existing TIFF, named plainly and
#     through the device namespace (\\.\Z:\...): Ctrl-C (Wine turns SIGINT
#     into CTRL_C_EVENT) must end it with STATUS_CONTROL_C_EXIT, whose low
#     byte (58) is the status Wine passes on, and a process killed outright
#     must end too; either way the old TIFF stays as it was and no
#     temporary file is left; Ctrl-C before the header is read ends it the
#     same way;
#   - files named as devices (COM1.hdr, aux, nul.pic, NUL), which Windows
#     takes for the devices: the open error, at once, and no device read;
#   - a link at the output name (made by Linux: Wine makes none): it stays,
#     and the file it points to gets the TIFF;
#   - a nearly full drive reached through \\.\T:\: the free-space check
#     refuses it as it refuses T:\, and the old TIFF stays.
#   tests/wine_cases.sh WINE CORVALIN_EXE MAKE_SAMPLE REFERENCE_CORVALIN
set -u
if [ $# != 4 ]; then
  echo "usage: $0 WINE CORVALIN_EXE MAKE_SAMPLE REFERENCE_CORVALIN" >&2
  exit 2
fi
wine=$1
exe=$(realpath "$2")
make_sample=$3
reference=$(realpath "$4")
work=$(mktemp -d)
drive=${WINEPREFIX:-$HOME/.wine}/dosdevices/t:
cleanup() {
  rm -f "$drive"
  umount "$work/small" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

"$make_sample" "$work/big.hdr" 8192 4096 || exit 2
"$make_sample" "$work/sky.hdr" || exit 2
(cd "$work" && "$reference" sky.hdr >/dev/null) || exit 2
mv "$work/sky.tif" "$work/want.tif"

# The Windows name of a Linux path on drive Z:.
windows_path() { echo "Z:$1" | tr / '\\'; }

# SIG NAME [fifo]: converts NAME (big.hdr, in some spelling) and sends SIG
# once the temporary file appears; with fifo, NAME is a FIFO held open here
# and never written, so that the program waits at its first read, before
# any header.
interrupt() {
  local signal=$1 name=$2 fifo=${3:-}
  rm -f "$work/out.txt" "$work/p.hdr"
  echo "old tif" >"$work/big.tif"
  if [ -n "$fifo" ]; then
    mkfifo "$work/p.hdr"
    exec 3<>"$work/p.hdr"  # a writer, which never writes
  fi
  (cd "$work" && exec "$wine" "$exe" "$name" >out.txt 2>/dev/null) &
  local runner=$!
  if [ -n "$fifo" ]; then
    sleep 1
  else
    for _ in $(seq 1000); do
      ls -A "$work" | grep -q '^\.big\.tif\.' && break
      sleep 0.01
    done
    ls -A "$work" | grep -q '^\.big\.tif\.' || fail "SIG$signal $name: no temporary file appeared"
  fi
  # The runner execs Wine, whose loader execs the program in the same
  # process: its PID is the program's, and no other process is touched.
  kill "-$signal" "$runner"
  wait $runner
  local status=$?
  local want=$([ "$signal" = INT ] && echo 58 || echo 137)
  [ "$status" = "$want" ] || fail "SIG$signal $name: status $status, want $want"
  local files=$(cd "$work" && ls -A | grep -v -E '^(big\.hdr|sky\.hdr|want\.tif|small|p\.hdr)$' | tr '\n' ' ')
  [ "$files" = "big.tif out.txt " ] || fail "SIG$signal $name: left [$files]"
  [ "$(cat "$work/big.tif")" = "old tif" ] || fail "SIG$signal $name: the old TIFF changed"
  grep -q Finished "$work/out.txt" && fail "SIG$signal $name: came too late, the conversion finished"
  [ -n "$fifo" ] && exec 3>&-
  rm -f "$work/p.hdr"
}
for signal in INT KILL; do
  interrupt $signal big.hdr
  interrupt $signal "\\\\.\\$(windows_path "$work/big.hdr")"
done
interrupt INT p.hdr fifo

# Names Windows takes for devices: the open error, within seconds.
for name in COM1.hdr aux nul.pic NUL; do
  cp "$work/sky.hdr" "$work/$name"
  (cd "$work" && timeout 20 "$wine" "$exe" "$name" >out.txt 2>/dev/null)
  status=$?
  output=$(tr -d '\r' <"$work/out.txt")
  [ "$status" = 1 ] || fail "$name: status $status, want 1"
  echo "$output" | grep -q '^Error opening HDR file' || fail "$name: no open error"
  rm -f "$work/$name"
done

# A link at the output name stays a link; its file gets the TIFF.
mkdir "$work/real"
echo "old tif" >"$work/real/target.tif"
ln -s real/target.tif "$work/sky.tif"
(cd "$work" && "$wine" "$exe" sky.hdr >/dev/null 2>&1) || fail "link: the conversion failed"
[ -L "$work/sky.tif" ] || fail "link: the link was replaced"
cmp -s "$work/real/target.tif" "$work/want.tif" || fail "link: its file does not hold the TIFF"
rm -rf "$work/real" "$work/sky.tif"

# A nearly full drive through the device namespace.
mkdir "$work/small"
if mount -t tmpfs -o size=256k tmpfs "$work/small" 2>/dev/null; then
  ln -sfn "$work/small" "$drive"
  cp "$work/sky.hdr" "$work/small/x.hdr"
  head -c 20000 /dev/urandom >"$work/small/x.tif"
  cp "$work/small/x.tif" "$work/old.tif"
  for name in 'T:\x.hdr' '\\.\T:\x.hdr'; do
    (cd "$work" && "$wine" "$exe" "$name" >out.txt 2>/dev/null)
    status=$?
    output=$(tr -d '\r' <"$work/out.txt")
    [ "$status" = 1 ] || fail "$name on a full drive: status $status, want 1"
    echo "$output" | tail -n 1 | grep -q '^Not enough free space for the TIFF file.$' || fail "$name: not refused for its space"
    cmp -s "$work/small/x.tif" "$work/old.tif" || fail "$name: the old TIFF changed"
    [ "$(ls -A "$work/small" | tr '\n' ' ')" = "x.hdr x.tif " ] || fail "$name: left files on the drive"
  done
else
  echo "skipped the full drive: a tmpfs cannot be mounted here (needs root)"
fi

echo "cases under Wine: $failures failures"
[ $failures = 0 ]
