#!/usr/bin/env bash
# Installs the named Debian packages that are missing:
#   scripts/need-packages.sh [--no-install-recommends] PACKAGE...
set -euo pipefail

options=()
if [ "${1:-}" = --no-install-recommends ]; then
  options+=("$1")
  shift
fi
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${options[@]}" "${missing[@]}"
fi
