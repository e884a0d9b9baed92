#!/usr/bin/env bash
# Times our MPEG transport-stream play-through against ffmpeg on about 1 GB of H.264 + AAC:
# bench/ts-vs-ffmpeg.sh [BENCH [SIZE_MB]]
exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" ts "$@"
