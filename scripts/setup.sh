#!/usr/bin/env bash
# Installs what building and testing VMX needs on Debian 12, when it is missing.
set -euo pipefail
"$(dirname "$0")/need-packages.sh" cmake g++ clang make pkg-config zlib1g-dev libogg-dev libvorbis-dev \
  libgtest-dev nlohmann-json3-dev
# Chromium headless renders the SVG of "vmx timeline" in its test (skipped without it).
"$(dirname "$0")/need-packages.sh" --no-install-recommends chromium
