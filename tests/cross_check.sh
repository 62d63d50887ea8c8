#!/usr/bin/env bash
# Runs another build of corvalin (Windows under Wine, ARM or s390x under
# qemu) on the sample pictures and compares each run with this build's:
# standard output (line endings aside), exit status, and every byte of
# every file it leaves.
#   tests/cross_check.sh REFERENCE MAKE_PICTURES [--crlf] -- COMMAND...
# REFERENCE is this machine's corvalin, MAKE_PICTURES the program that
# writes the pictures, COMMAND the other build as it is run (it runs in
# another folder, so its paths must be absolute). With --crlf
# every line of the other build's output must end in CR LF (Windows text
# mode), and none may without it.
set -u
if [ $# -lt 4 ]; then
  echo "usage: $0 REFERENCE MAKE_PICTURES [--crlf] -- COMMAND..." >&2
  exit 2
fi
reference=$(realpath "$1")
make_pictures=$2
shift 2
crlf=0
if [ "$1" = --crlf ]; then crlf=1; shift; fi
[ "$1" = -- ] && shift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pictures"
"$make_pictures" "$work/pictures" || exit 2

pictures=0
differences=0
differ() {
  echo "DIFFERENT: $1: $2"
  differences=$((differences + 1))
}
for picture in "$work"/pictures/*.hdr; do
  name=$(basename "$picture")
  pictures=$((pictures + 1))
  for side in reference other; do
    rm -rf "${work:?}/$side"
    mkdir "$work/$side"
    cp "$picture" "$work/$side/"
  done
  (cd "$work/reference" && "$reference" "$name" >"$work/reference.out")
  reference_status=$?
  # A start that Wine (or qemu) refused printed nothing and failed: it is
  # tried again, twice at most, in a fresh folder.
  for attempt in 1 2 3; do
    (cd "$work/other" && "$@" "$name" >"$work/other.out" 2>"$work/other.err")
    other_status=$?
    { [ -s "$work/other.out" ] || [ ! -s "$work/reference.out" ] || [ $attempt = 3 ]; } && break
    rm -rf "${work:?}/other"
    mkdir "$work/other"
    cp "$picture" "$work/other/"
    sleep $attempt
  done
  if [ $crlf = 1 ]; then
    if [ -s "$work/other.out" ] && [ "$(sed -n '/\r$/!p' "$work/other.out" | wc -l)" != 0 ]; then
      differ "$name" "a line without CR LF"
    fi
    tr -d '\r' <"$work/other.out" >"$work/other.lf"
    mv "$work/other.lf" "$work/other.out"
  fi
  [ "$reference_status" = "$other_status" ] || differ "$name" "status $other_status, want $reference_status"
  cmp -s "$work/reference.out" "$work/other.out" ||
    differ "$name" "output: $(diff "$work/reference.out" "$work/other.out" | head -5 | tr '\n' ' ')"
  reference_files=$(cd "$work/reference" && ls -A)
  other_files=$(cd "$work/other" && ls -A)
  if [ "$reference_files" != "$other_files" ]; then
    differ "$name" "files [$other_files], want [$reference_files]"
    continue
  fi
  for f in $reference_files; do
    cmp -s "$work/reference/$f" "$work/other/$f" || differ "$name" "$f differs"
  done
done
echo "cross check: $pictures pictures, $differences differences"
[ $pictures -gt 0 ] && [ $differences = 0 ]
