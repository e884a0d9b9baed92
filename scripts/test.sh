#!/usr/bin/env bash
# Builds and runs every test: the normal build, the whole suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, and the threaded parts under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/build.sh release
ctest --test-dir build/release --output-on-failure -j "$jobs"

scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

scripts/build.sh tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R '^(GraphScript|Framework|MemoryAllocator|RecordingSink|FilterGraph|GraphDriver|PacketQueue|MkvSeeking|MkvThreads|Mp4Seeking|Mp4Threads|AviSeeking|AviScanning|MpegSeeking|MpegThreads|Mpeg2Seeking|Mpeg2Threads|AsfSeeking|AsfFiles|FlvSeeking|FlvThreads|Ogg2Seeking|Ogg2Threads|AsfWmSeeking|AsfWmThreads|OggThreads|Lifecycle|EveryFilter/LifecycleThreads)'
