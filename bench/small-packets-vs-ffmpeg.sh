#!/usr/bin/env bash
# Times every container the filters read on a file of many small packets, where the cost per
# packet (reads, the hand-off between threads, allocation) outweighs the cost per byte, and prints
# one table: our play time over ffmpeg's, with and without the recording sinks, and per packet the
# reading system calls, futex calls and context switches of our play.
#
#   bench/small-packets-vs-ffmpeg.sh [CONTAINER...]
#
# CONTAINER: mkv mp4 avi flv ts ps ogg ogg1 asf asfex mp3 aac (default: all); ogg1 and asfex
# are the Ogg and ASF files through the other filter of each (the first Ogg filter, AsfEx). The
# video containers hold the same 18 minutes of 1280x720 H.264 at 160 kbit/s with audio, about
# 78,000 packets (the program stream has MP2 audio, which its muxer takes; AVI has MP3); Ogg holds
# an hour of Vorbis, ASF an hour of WMA, and the MP3 and AAC files an hour of audio each: about
# 78,000 to 155,000 packets. The files are made once into $VMX_BENCH_CACHE (default a folder
# under /tmp) and kept for the next run.
#
# Our play is `play_bench FILE --discard` (sinks that count and keep nothing) and `play_bench
# FILE --no-checksum` (the recording sinks); ffmpeg's is `ffmpeg -i FILE -map 0 -c copy -f null
# -`. They run alternately, $VMX_BENCH_RUNS times each (default 3); the medians give the ratios.
# System calls are counted by one more `--discard` play under strace -f -c.
set -euo pipefail
. "$(dirname "$0")/against-ffmpeg.sh"
choose_bench small-packets-vs-ffmpeg "${VMX_BENCH:-}"
runs="${VMX_BENCH_RUNS:-3}"

"$root/scripts/need-packages.sh" ffmpeg strace

cache="${VMX_BENCH_CACHE:-${TMPDIR:-/tmp}/vmx-small-packets}"
mkdir -p "$cache"

ff() { ffmpeg -v error -nostdin -y "$@"; }

# The ten-second clips, each encoded once; the long files are copies end to end, as a real
# recording's packets would be.
make_clips() {
  [ -s "$cache/clip.mkv" ] || ff -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=10,noise=alls=12:allf=t" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=10" \
    -map 0:v -map 1:a -c:v libx264 -preset ultrafast -b:v 160k -maxrate 160k -bufsize 320k -g 50 -pix_fmt yuv420p \
    -c:a aac -b:a 96k -ac 2 -fflags +bitexact "$cache/clip.mkv"
  [ -s "$cache/minute.wav" ] || ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=60" \
    -f lavfi -i "sine=frequency=660:sample_rate=44100:duration=60" -filter_complex "[0:a][1:a]amerge=inputs=2" \
    -c:a pcm_s16le "$cache/minute.wav"
}

# file CONTAINER: the path of the container's file, made when missing.
file() {
  local container=$1 out
  case $container in
    mkv | mp4 | avi | flv | ts | asf | ogg | mp3 | aac) out="$cache/small-packets.$container" ;;
    ogg1) file ogg; return ;;
    asfex) file asf; return ;;
    ps) out="$cache/small-packets.mpg" ;;
    *) echo "unknown container $container" >&2; return 1 ;;
  esac
  if [ ! -s "$out" ]; then
    make_clips
    local loop=(-stream_loop 107 -i "$cache/clip.mkv" -map 0)
    local hour=(-stream_loop 59 -i "$cache/minute.wav")
    case $container in
      mkv | mp4 | ts) ff "${loop[@]}" -c copy -fflags +bitexact "$out" ;;
      flv) ff "${loop[@]}" -c copy -f flv "$out" ;;
      # AVI and the program stream carry H.264 with start codes, as the TS holds it.
      avi) ff -i "$(file ts)" -map 0 -c:v copy -c:a libmp3lame -b:a 96k "$out" ;;
      ps) ff -i "$(file ts)" -map 0 -c:v copy -c:a mp2 -b:a 96k -f vob "$out" ;;
      ogg) ff "${hour[@]}" -c:a libvorbis -q:a 2 "$out" ;;
      asf) ff "${hour[@]}" -c:a wmav2 -b:a 64k -f asf "$out" ;;
      mp3) ff "${hour[@]}" -c:a libmp3lame -b:a 128k "$out" ;;
      aac) ff "${hour[@]}" -c:a aac -b:a 96k -f adts "$out" ;;
    esac
  fi
  cat "$out" >/dev/null # into the page cache, so no run pays for the first read
  echo "$out"
}

# value NAME OUTPUT: a name=value field of play_bench's report.
value() { sed -n "s/.*$1=\([0-9.eE+-]*\).*/\1/p" <<<"$2" | tail -n 1; }

# Per packet: reading calls (read, pread64, lseek, newfstatat, fstat, statx) and futex calls of
# one --discard play under strace.
syscalls() {
  local file=$1 packets=$2 counts="$cache/strace.txt"
  shift 2
  strace -f -c -o "$counts" -e trace=read,pread64,lseek,newfstatat,fstat,statx,futex "$bench" "$file" --discard "$@" >/dev/null
  awk -v packets="$packets" '
    $NF ~ /^(read|pread64|lseek|newfstatat|fstat|statx)$/ { reads += $4 }
    $NF == "futex" { futex += $4 }
    END { printf "%.3f %.3f\n", reads / packets, futex / packets }' "$counts"
}

# filter_of CONTAINER: the play_bench options that pick the filter (none: the extension's).
filter_of() {
  case $1 in
    ogg1) echo --filter ogg ;;
    asfex) echo --filter asfex ;;
  esac
}

containers=("$@")
[ ${#containers[@]} -gt 0 ] || containers=(mkv mp4 avi flv ts ps ogg ogg1 asf asfex mp3 aac)

printf '%-5s %9s %11s %11s %13s %12s %14s\n' container packets "discard/ff" "record/ff" "reads/packet" \
  "futex/packet" "switches/packet"
for container in "${containers[@]}"; do
  path=$(file "$container")
  read -r -a filter <<<"$(filter_of "$container")"
  discard=() record=() theirs=() switches=() packets=0
  for ((run = 1; run <= runs; run++)); do
    start=$(now_ns)
    out=$("$bench" "$path" --discard "${filter[@]}")
    discard+=("$(seconds_since "$start")")
    switches+=("$(value switches_per_sample "$out")")
    packets=$(value samples "$out")
    start=$(now_ns)
    "$bench" "$path" --no-checksum "${filter[@]}" >/dev/null
    record+=("$(seconds_since "$start")")
    start=$(now_ns)
    ffmpeg -v fatal -nostdin -i "$path" -map 0 -c copy -f null -
    theirs+=("$(seconds_since "$start")")
  done
  read -r reads futex < <(syscalls "$path" "$packets" "${filter[@]}")
  awk -v c="$container" -v p="$packets" -v d="$(median "${discard[@]}")" -v r="$(median "${record[@]}")" \
    -v t="$(median "${theirs[@]}")" -v reads="$reads" -v futex="$futex" -v sw="$(median "${switches[@]}")" \
    'BEGIN { printf "%-5s %9d %11.2f %11.2f %13.3f %12.3f %14.3f\n", c, p, d / t, r / t, reads, futex, sw }'
done
