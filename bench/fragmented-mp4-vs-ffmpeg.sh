#!/usr/bin/env bash
# Times our play-through of a fragmented MP4 of about 1 GB (H.264 + AAC, one fragment a key
# frame, an empty moov and an mfra, as `-movflags frag_keyframe+empty_moov` writes it) against
# ffmpeg's demuxer on the same file. The MP4 filter reads fragments only with the module's
# extensions on, so play_bench runs with --extensions.
#
#   bench/fragmented-mp4-vs-ffmpeg.sh [BENCH [SIZE_MB]]
#
# BENCH (or $VMX_BENCH, default build/release/play_bench) is run as `BENCH FILE --no-checksum
# --extensions`; the reference is `ffmpeg -i FILE -map 0 -c copy -f null -`. SIZE_MB (or
# $VMX_BENCH_MB, default 1000) is the size to reach; the runs alternate, five each (or
# $VMX_BENCH_RUNS), and the medians and their ratio ours/ffmpeg are printed.
set -euo pipefail
. "$(dirname "$0")/against-ffmpeg.sh"
choose_bench fragmented-mp4-vs-ffmpeg "${1:-}"
target_mb="${2:-${VMX_BENCH_MB:-1000}}"
if ! [[ "$target_mb" =~ ^[1-9][0-9]*$ ]]; then
  echo "fragmented-mp4-vs-ffmpeg: the size is a whole number of megabytes, not '$target_mb'" >&2
  exit 2
fi

"$root/scripts/need-packages.sh" ffmpeg

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Ten seconds encoded once and copied end to end until the size is reached, as the other MP4
# benchmark does; the copy is what writes the fragments.
clip="$work/clip.mp4"
ffmpeg -v error -nostdin -y \
  -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=10,noise=alls=12:allf=t" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=10" \
  -map 0:v -map 1:a -c:v libx264 -preset ultrafast -b:v 40M -maxrate 40M -bufsize 80M -g 50 -pix_fmt yuv420p \
  -c:a aac -b:a 192k -ac 2 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact "$clip"
clip_bytes=$(stat -c %s "$clip")
loops=$(((target_mb * 1000000 + clip_bytes - 1) / clip_bytes - 1))
[ "$loops" -lt 0 ] && loops=0
file="$work/big.mp4"
ffmpeg -v error -nostdin -y -stream_loop "$loops" -i "$clip" -map 0 -c copy -fflags +bitexact \
  -movflags frag_keyframe+empty_moov "$file"
cat "$file" >/dev/null # into the page cache, so no run pays for the first read

echo "file: $(stat -c %s "$file") bytes, $((loops + 1)) x 10 s of 1280x720 H.264 at 40 Mbit/s + AAC 192 kbit/s, fragmented (a fragment every 2 s)"
echo "mode: checksums off (sinks only count bytes, as ffmpeg's null muxer does), extensions on"
compare_with_ffmpeg "$runs" "$file" "$bench" --no-checksum --extensions
