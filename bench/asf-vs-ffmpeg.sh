#!/usr/bin/env bash
# Times our ASF play-through against ffmpeg on about 1 GB of WMV2 + WMA2:
# bench/asf-vs-ffmpeg.sh [BENCH [SIZE_MB]]
exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" wmv "$@"
