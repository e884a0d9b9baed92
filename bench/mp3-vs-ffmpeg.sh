#!/usr/bin/env bash
# Times our MP3 play-through against ffmpeg's demuxer on a one-hour file.
#
#   bench/mp3-vs-ffmpeg.sh [BENCH]
#
# BENCH (or $VMX_BENCH, default build/release/play_bench) is run as `BENCH FILE --no-checksum`;
# the reference is `ffmpeg -v error -i FILE -map 0 -c copy -f null -`, which demuxes every packet
# without decoding and without looking at the bytes (VMX_BENCH_CHECKSUMS=1 times our sinks with
# their checksums). The two run alternately, five times each (or $VMX_BENCH_RUNS); the medians of
# the wall-clock times measured here, the same way for both, and their ratio ours/ffmpeg are
# printed, plus the median of the wall_s that the bench program reports for itself.
set -euo pipefail
. "$(dirname "$0")/against-ffmpeg.sh"
choose_bench mp3-vs-ffmpeg "${1:-}"

"$root/scripts/need-packages.sh" ffmpeg lame

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One minute encoded once and repeated sixty times: lame would need half a minute for a real
# hour. Without the Info frame (-t) the copies join into one plain CBR stream, as a long
# recording would be; each copy starts a fresh bit reservoir, which every decoder accepts.
ffmpeg -v error -nostdin -y \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=60" \
  -f lavfi -i "sine=frequency=660:sample_rate=44100:duration=60" \
  -filter_complex "[0:a][1:a]amerge=inputs=2" -c:a pcm_s16le "$work/minute.wav"
lame --quiet -t -b 128 "$work/minute.wav" "$work/minute.mp3"
file="$work/hour.mp3"
for _ in $(seq 60); do cat "$work/minute.mp3"; done >"$file"
cat "$file" >/dev/null # into the page cache, so no run pays for the first read

echo "file: $(stat -c %s "$file") bytes, one hour of 128 kbit/s CBR 44.1 kHz stereo"
bench_options=(--no-checksum)
[ "${VMX_BENCH_CHECKSUMS:-0}" = 1 ] && bench_options=()
compare_with_ffmpeg "$runs" "$file" "$bench" "${bench_options[@]}"
