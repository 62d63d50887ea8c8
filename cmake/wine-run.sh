#!/bin/sh
# Runs a Windows program under Wine for CMake and CTest:
#   wine-run.sh WINE PROGRAM.exe ARGS...
# Wine refuses a start now and then while other Wine programs come and go;
# a program so refused never ran: it printed nothing and did not succeed.
# Such a start is tried again, twice at most. A program that ran, whatever
# it printed and however it ended, is not.
wine=$1
shift
out=$(mktemp) || exit 125
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  "$wine" "$@" >"$out"
  status=$?
  if [ $status = 0 ] || [ -s "$out" ] || [ $attempt = 3 ]; then
    cat "$out"
    exit $status
  fi
  echo "wine-run.sh: $1 printed nothing and ended with $status; starting it again" >&2
  sleep $attempt
done
