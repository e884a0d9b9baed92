#!/usr/bin/env bash
# Times our FLV play-through against ffmpeg on about 1 GB of H.264 + AAC:
# bench/flv-vs-ffmpeg.sh [BENCH [SIZE_MB]]
exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" flv "$@"
