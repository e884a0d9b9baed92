#!/usr/bin/env bash
# Times the ASF source on the Windows Media reader (on Linux the platform layer's own reader)
# against ffmpeg on about 1 GB of WMV2 + WMA2: bench/asf-wm-vs-ffmpeg.sh [BENCH [SIZE_MB]]
VMX_BENCH_FILTER=asf exec "$(dirname "$0")/h264-aac-vs-ffmpeg.sh" wmv "$@"
