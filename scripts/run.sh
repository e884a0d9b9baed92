#!/usr/bin/env bash
# The main job: builds the module and the vmx tool, then shows what the MP3 source makes of the
# sample that ships in samples/: its pin and media type, then every packet it delivers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release >/dev/null
build/release/vmx info samples/tone.mp3
build/release/vmx packets samples/tone.mp3
