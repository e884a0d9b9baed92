#!/usr/bin/env bash
# Times the first Ogg filter (its own pins and threads) against ffmpeg on about 1 GB of Theora +
# Vorbis: bench/ogg1-vs-ffmpeg.sh [BENCH [SIZE_MB]]
VMX_BENCH_FILTER=ogg exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" ogg "$@"
