#!/usr/bin/env bash
# The Windows build under Wine, interrupted mid-conversion: Ctrl-C (Wine
# turns SIGINT into CTRL_C_EVENT) must end it with STATUS_CONTROL_C_EXIT,
# whose low byte (58) is the status Wine passes on, and a process killed
# outright must end too; either way an existing TIFF stays as it was and
# no temporary file is left.
#   tests/wine_interrupt.sh WINE CORVALIN_EXE MAKE_SAMPLE
set -u
if [ $# != 3 ]; then
  echo "usage: $0 WINE CORVALIN_EXE MAKE_SAMPLE" >&2
  exit 2
fi
wine=$1
exe=$(realpath "$2")
make_sample=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$make_sample" "$work/big.hdr" 8192 4096 || exit 2
failures=0
for signal in INT KILL; do
  rm -f "$work/out.txt"
  echo "old tif" >"$work/big.tif"
  (cd "$work" && exec "$wine" "$exe" big.hdr >out.txt 2>/dev/null) &
  runner=$!
  # The temporary file appears once the header has been read.
  for _ in $(seq 1000); do
    ls -A "$work" | grep -q '^\.big\.tif\.' && break
    sleep 0.01
  done
  if ! ls -A "$work" | grep -q '^\.big\.tif\.'; then
    echo "FAILED: SIG$signal: no temporary file appeared"
    failures=$((failures + 1))
  fi
  # The runner execs Wine, whose loader execs the program in the same
  # process: its PID is the program's, and no other process is touched.
  kill "-$signal" "$runner"
  wait $runner
  status=$?
  want=$([ $signal = INT ] && echo 58 || echo 137)
  [ "$status" = "$want" ] || { echo "FAILED: SIG$signal: status $status, want $want"; failures=$((failures + 1)); }
  files=$(cd "$work" && ls -A | tr '\n' ' ')
  [ "$files" = "big.hdr big.tif out.txt " ] || { echo "FAILED: SIG$signal: left [$files]"; failures=$((failures + 1)); }
  [ "$(cat "$work/big.tif")" = "old tif" ] || { echo "FAILED: SIG$signal: the old TIFF changed"; failures=$((failures + 1)); }
  grep -q Finished "$work/out.txt" && { echo "FAILED: SIG$signal: came too late, the conversion finished"; failures=$((failures + 1)); }
done
echo "interrupts under Wine: $failures failures"
[ $failures = 0 ]
