#!/usr/bin/env bash
# Times two or more builds of play_bench on every container against ffmpeg in one run, so that a
# change that touches every filter is judged container by container against the build before it:
#
#   bench/builds-every-container.sh BENCH BENCH... [-- LARGE_FILE...]
#
# The files are those of bench/small-packets-vs-ffmpeg.sh (run it once to make them into
# $VMX_BENCH_CACHE), the Ogg and ASF files through both filters of each; each LARGE_FILE (say a
# 1 GB file of large packets) is timed too. Rounds per file: $VMX_BENCH_RUNS (default 5). Prints
# one line a file and build: the median and its ratio over ffmpeg's median of the same rounds.
set -euo pipefail
here="$(dirname "$0")"
cache="${VMX_BENCH_CACHE:-${TMPDIR:-/tmp}/vmx-small-packets}"
benches=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  benches+=("$1")
  shift
done
[ $# -gt 0 ] && shift
large=("$@")
if [ ${#benches[@]} -lt 1 ]; then
  echo "usage: builds-every-container.sh BENCH [BENCH...] [-- LARGE_FILE...]" >&2
  exit 2
fi
export VMX_BENCH_RUNS="${VMX_BENCH_RUNS:-5}"

# container, file, play_bench options
runs=(
  "mkv small-packets.mkv" "mp4 small-packets.mp4" "avi small-packets.avi" "flv small-packets.flv"
  "ts small-packets.ts" "ps small-packets.mpg" "ogg2 small-packets.ogg" "ogg small-packets.ogg --filter ogg"
  "asf small-packets.asf" "asfex small-packets.asf --filter asfex" "mp3 small-packets.mp3"
  "aac small-packets.aac"
)
for path in "${large[@]}"; do
  runs+=("large $path")
done
for entry in "${runs[@]}"; do
  read -r name file options <<<"$entry"
  [ "$name" = large ] || file="$cache/$file"
  if [ ! -s "$file" ]; then
    echo "builds-every-container: no $file (bench/small-packets-vs-ffmpeg.sh makes the small-packet files)" >&2
    exit 1
  fi
  VMX_BENCH_OPTIONS="${options:-}" "$here/builds-vs-ffmpeg.sh" "$file" "${benches[@]}" \
    | sed "s|^|$name $(basename "$file"): |"
done
