#!/usr/bin/env bash
# Times our MPEG program-stream play-through against ffmpeg on about 1 GB of H.264 + AAC:
# bench/mpeg-vs-ffmpeg.sh [BENCH [SIZE_MB]]
exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" vob "$@"
