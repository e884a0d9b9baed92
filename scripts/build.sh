#!/usr/bin/env bash
# Configures and builds one flavour of the tree: scripts/build.sh [release|asan|tsan|fuzz|win]
# (win: VMX.ax and its graph test host with the mingw-w64 cross compiler)
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-release}
jobs=$(nproc 2>/dev/null || echo 2)
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DVMX_SANITIZE=address,undefined) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DVMX_SANITIZE=thread) ;;
  fuzz) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DVMX_SANITIZE=address,undefined
              -DVMX_FUZZ=ON -DVMX_TESTS=OFF) ;;
  win) args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake) ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S . -B "build/$flavour" "${args[@]}" >/dev/null
cmake --build "build/$flavour" -j "$jobs"
