#!/usr/bin/env bash
# The main job: builds the module and shows what it carries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release >/dev/null
build/release/vmx filters
