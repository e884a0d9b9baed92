#!/usr/bin/env bash
# The packet-path benchmarks in one run: the two files of many small packets (Matroska, one hour
# of MP3) and the 1 GB Matroska file of large ones, each against ffmpeg, then the three ratios.
#
#   bench/packet-path-vs-ffmpeg.sh [BENCH]
set -euo pipefail
here="$(dirname "$0")"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
summary=()
for bench in mkv-small-packets-vs-ffmpeg.sh mp3-vs-ffmpeg.sh mkv-vs-ffmpeg.sh; do
  echo "== $bench"
  "$here/$bench" "$@" | tee "$log"
  summary+=("$bench: $(grep '^ratio_ours_over_ffmpeg=' "$log")")
done
printf '%s\n' "${summary[@]}"
