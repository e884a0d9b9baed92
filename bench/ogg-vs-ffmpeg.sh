#!/usr/bin/env bash
# Times our Ogg play-through (the second Ogg filter) against ffmpeg on about 1 GB of Theora +
# Vorbis: bench/ogg-vs-ffmpeg.sh [BENCH [SIZE_MB]]
exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" ogg "$@"
