#!/usr/bin/env bash
# Times our Matroska play-through against ffmpeg on a file of many small packets: 18 minutes of
# 1280x720 H.264 at 160 kbit/s + AAC 96 kbit/s, about 37 MB in 78,000 packets, where the cost per
# packet (the hand-off between threads, the sinks) outweighs the cost per byte.
#
#   bench/mkv-small-packets-vs-ffmpeg.sh [BENCH]
#
# BENCH (or $VMX_BENCH, default build/release/play_bench) is run as `BENCH FILE --no-checksum`;
# the reference is `ffmpeg -v error -i FILE -map 0 -c copy -f null -`. The two run alternately,
# five times each (or $VMX_BENCH_RUNS); the medians of the wall-clock times and their ratio
# ours/ffmpeg are printed.
set -euo pipefail
. "$(dirname "$0")/against-ffmpeg.sh"
choose_bench mkv-small-packets-vs-ffmpeg "${1:-}"

"$root/scripts/need-packages.sh" ffmpeg

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Ten seconds encoded once and copied end to end 108 times, as the 1 GB benchmarks do.
ffmpeg -v error -nostdin -y \
  -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=10,noise=alls=12:allf=t" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=10" \
  -map 0:v -map 1:a -c:v libx264 -preset ultrafast -b:v 160k -maxrate 160k -bufsize 320k -g 50 -pix_fmt yuv420p \
  -c:a aac -b:a 96k -ac 2 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact "$work/clip.mkv"
file="$work/small-packets.mkv"
ffmpeg -v error -nostdin -y -stream_loop 107 -i "$work/clip.mkv" -map 0 -c copy -fflags +bitexact "$file"
cat "$file" >/dev/null # into the page cache, so no run pays for the first read

echo "file: $(stat -c %s "$file") bytes, 1080 s of 1280x720 H.264 at 160 kbit/s + AAC 96 kbit/s"
compare_with_ffmpeg "$runs" "$file" "$bench" --no-checksum
