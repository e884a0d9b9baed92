#!/usr/bin/env bash
# Times our play-through of an H.264 + AAC file of about 1 GB in one container (mkv, mp4, avi, ts,
# vob: an MPEG program stream, whose muxer takes MP2 where the others take AAC, flv, wmv: WMV2 +
# WMA2 in ASF, or ogg: Theora + Vorbis) against ffmpeg's demuxer on the same file.
#
#   bench/h264-aac-vs-ffmpeg.sh CONTAINER [BENCH [SIZE_MB]]
#
# (bench/mkv-vs-ffmpeg.sh, bench/mp4-vs-ffmpeg.sh, bench/avi-vs-ffmpeg.sh, bench/mpeg-vs-ffmpeg.sh,
# bench/ts-vs-ffmpeg.sh, bench/flv-vs-ffmpeg.sh, bench/asf-vs-ffmpeg.sh and bench/ogg-vs-ffmpeg.sh
# name the container; the AVI of 1 GB is an OpenDML file with an "AVIX"
# part.)
# BENCH (or $VMX_BENCH, default build/release/play_bench) is run as `BENCH FILE --no-checksum`;
# the reference is `ffmpeg -v error -i FILE -map 0 -c copy -f null -`, which demuxes every packet
# without decoding and without looking at the bytes, so our sinks skip their checksums too.
# Set VMX_BENCH_CHECKSUMS=1 to time with them. SIZE_MB (or $VMX_BENCH_MB, default 1000) is the
# size to reach; a smaller one makes a quick check of the script itself. The two sides run
# alternately, five times each (or $VMX_BENCH_RUNS); the medians of the wall-clock times measured
# here, and their ratio ours/ffmpeg, are printed, plus the median of the wall_s that the bench
# program reports for itself.
set -euo pipefail
. "$(dirname "$0")/against-ffmpeg.sh"
container="${1:-}"
case "$container" in
  mkv | mp4 | avi | ts | vob | flv | wmv | ogg) ;;
  *) echo "h264-aac-vs-ffmpeg: the container is mkv, mp4, avi, ts, vob, flv, wmv or ogg, not '$container'" >&2; exit 2 ;;
esac
choose_bench "$container-vs-ffmpeg" "${2:-}"
target_mb="${3:-${VMX_BENCH_MB:-1000}}"
if ! [[ "$target_mb" =~ ^[1-9][0-9]*$ ]]; then
  echo "$container-vs-ffmpeg: the size is a whole number of megabytes, not '$target_mb'" >&2
  exit 2
fi
bench_options=(--no-checksum)
mode="checksums off (sinks only count bytes, as ffmpeg's null muxer does)"
if [ "${VMX_BENCH_CHECKSUMS:-0}" = 1 ]; then
  bench_options=()
  mode="checksums on (FNV-1a and Adler-32 over every sample)"
fi
# VMX_BENCH_FILTER names another filter than the extension's (the ASF source on the Windows
# Media reader, say).
if [ -n "${VMX_BENCH_FILTER:-}" ]; then
  bench_options+=(--filter "$VMX_BENCH_FILTER")
fi

"$root/scripts/need-packages.sh" ffmpeg

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Ten seconds encoded once, then copied end to end until the size is reached: encoding a whole
# gigabyte would take minutes. Fixed noise (the filter's default seed) keeps x264 near the asked
# bitrate, which plain test pictures undershoot; bitexact drops the encoder's version strings.
clip="$work/clip.$container"
audio=(-c:a aac -b:a 192k)
audio_name="AAC 192 kbit/s"
video=(-c:v libx264 -preset ultrafast)
video_name="H.264"
if [ "$container" = vob ]; then
  audio=(-c:a mp2 -b:a 192k)
  audio_name="MP2 192 kbit/s"
elif [ "$container" = wmv ]; then
  audio=(-c:a wmav2 -b:a 192k)
  audio_name="WMA2 192 kbit/s"
  video=(-c:v wmv2)
  video_name="WMV2"
elif [ "$container" = ogg ]; then
  audio=(-c:a libvorbis -b:a 192k)
  audio_name="Vorbis 192 kbit/s"
  video=(-c:v libtheora)
  video_name="Theora"
fi
ffmpeg -v error -nostdin -y \
  -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=10,noise=alls=12:allf=t" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=10" \
  -map 0:v -map 1:a "${video[@]}" -b:v 40M -maxrate 40M -bufsize 80M -g 50 -pix_fmt yuv420p \
  "${audio[@]}" -ac 2 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact "$clip"
clip_bytes=$(stat -c %s "$clip")
# -stream_loop N plays the input N more times.
loops=$(((target_mb * 1000000 + clip_bytes - 1) / clip_bytes - 1))
[ "$loops" -lt 0 ] && loops=0
file="$work/big.$container"
ffmpeg -v error -nostdin -y -stream_loop "$loops" -i "$clip" -map 0 -c copy -fflags +bitexact "$file"
cat "$file" >/dev/null # into the page cache, so no run pays for the first read

echo "file: $(stat -c %s "$file") bytes, $((loops + 1)) x 10 s of 1280x720 $video_name at 40 Mbit/s + $audio_name"
echo "mode: $mode"
compare_with_ffmpeg "$runs" "$file" "$bench" "${bench_options[@]}"
