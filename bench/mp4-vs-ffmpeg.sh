#!/usr/bin/env bash
# Times our MP4 play-through against ffmpeg on about 1 GB of H.264 + AAC: bench/mp4-vs-ffmpeg.sh [BENCH [SIZE_MB]]
exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" mp4 "$@"
