#!/usr/bin/env bash
# VMX.ax's pins through Wine's own decoders: for each fixture below, the graph test host creates
# the filter by class identifier, loads the file and has Wine's graph builder join every output
# pin to a sink that takes only PCM audio or RGB/YUV video, so that the graph builder picks and
# inserts the decoders (ACM wrapper and its codecs, the AVI decompressor and its VfW codecs,
# winegstreamer's decoders and DMOs). It plays to the end and again from a seek, and
# tests/windows/compare_decoded.py checks the decoded samples against ffmpeg's decode of the same
# stream. Each fixture lists, per pin, whether Wine decodes it (d) or has no decoder for it (n); a
# pin Wine decoded before that it no longer decodes, a decoder that refuses a pin, or decoded
# output that stops matching fails the stage.
#
# Run alone, it builds and registers the module in a prefix of its own; .ci/wine-dshow.sh runs it
# in its prefix with the module registered (VMX_WINE_READY=1).
set -euo pipefail
cd "$(dirname "$0")/.."

# winegstreamer's decoders need GStreamer's plugins.
scripts/need-packages.sh --no-install-recommends g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 \
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav ffmpeg python3

host=build/win/tests/windows/vmx_graph_host.exe
seek_seconds=0.5
began=$(date +%s)

winpath() {
  local path
  path=$(realpath "$1")
  echo "Z:${path//\//\\}"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/vmx-wine-decoders.XXXXXX")
if [ "${VMX_WINE_READY:-}" != 1 ]; then
  scripts/build.sh release
  scripts/build.sh win
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vmx-wine.XXXXXX")
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv,winepulse.drv=" WINEARCH=win64
  unset DISPLAY WAYLAND_DISPLAY
  cleanup() {
    timeout 20 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX" "$work"
  }
  trap cleanup EXIT
  timeout 120 wineboot -i >/dev/null 2>&1 || { echo "FAILED: wineboot" >&2; exit 1; }
  timeout 60 wine regsvr32 /s "$(winpath build/win/VMX.ax)" || { echo "FAILED: regsvr32 VMX.ax" >&2; exit 1; }
else
  trap 'rm -rf "$work"' EXIT
fi

mp3='{C846F6AA-63EE-42CB-AB73-229BE6A795AA}'
mpeg='{0D84C574-0C1D-466C-9D7B-49FD7BBF6E87}'
ts='{4D40E319-013F-4F5C-900D-25EA9C1FF16D}'
avi='{6BA9DD10-09B9-4C8B-89A8-8AC445601214}'
mkv='{9794BD42-281E-45EE-94CC-70A260E407B5}'
mp4='{D18284FE-DE51-4F33-A9BB-A8D3AE4B66BB}'
flv='{4CDD9B3E-1D8E-48DE-8B5B-80AFADCB8CA1}'
asf='{5A9841E4-3164-48AB-B54F-633A792FB047}'
ogg2='{4A9A79B3-6EAA-46AE-B024-5918C04C169E}'
ogg1='{8B359726-D939-41A8-8CBD-69A27675D978}'

# FILE FILTER PINS: PINS has a letter per output pin in the filter's order, d where Wine decodes
# it and n where Wine has no decoder for its type.
fixtures=(
  "mp3/cbr-info.mp3 mp3 d"
  "mpeg/h264-mp3.vob mpeg nd"
  "mpeg/mpeg2-lpcm.vob mpeg nn"
  "mpeg/mpeg2-ac3x2.vob mpeg nnn"
  "ts/audio-only.ts ts d"
  "mpeg/tfrc.ts mpeg nd"
  "mpeg/ts-h264-aac.ts ts nn"
  "avi/xvid-mp3.avi avi nd"
  "avi/mp3-cbr.avi avi nd"
  "avi/mp3-vbr.avi avi nd"
  "avi/mp2.avi avi nd"
  "avi/pcm-s16le.avi avi nd"
  "avi/ima-adpcm.avi avi nd"
  "avi/ms-adpcm.avi avi nd"
  "avi/cinepak.avi avi d"
  "avi/msvideo1.avi avi d"
  "avi/raw-bgr24.avi avi d"
  "avi/wmv2.avi avi n"
  "avi/ac3.avi avi nn"
  "avi/h264-aac.avi avi nn"
  "mkv/mpeg4-mp3.mkv mkv nd"
  "mkv/pcm-int.mkv mkv d"
  "mkv/mpeg2-ac3.mkv mkv nn"
  "mkv/vp8-vorbis.webm mkv nn"
  "mp4/mpeg4-mp3.mp4 mp4 nd"
  "mp4/pcm-twos.mov mp4 d"
  "mp4/pcm-sowt.mov mp4 d"
  "mp4/pcm-raw.mov mp4 d"
  "mp4/ima4.mov mp4 n"
  "mp4/h264-ac3.mp4 mp4 nn"
  "flv/mp3-audio-only.flv flv d"
  "flv/sorenson-mp3.flv flv dn"
  "flv/sorenson-pcm-u8.flv flv dn"
  "flv/sorenson-160x120-adpcm-44k-stereo.flv flv nn"
  "asf/wmv2-wma2.wmv asf nn"
  "asf/wmv1-wma1.wmv asf nn"
  "asf/audio-only.wma asf n"
  "ogg/ogm-pcm-ac3.ogm ogg2 dn"
  "ogg/theora-vorbis.ogg ogg2 nn"
  "ogg/dshow-mpeg4-mp3.ogg ogg1 nd"
  "ogg/ogm-mpeg4-mp3-text.ogm ogg1 ndn"
)

failures=0
files=0
: >"$work/table"
for entry in "${fixtures[@]}"; do
  read -r fixture filter pins <<<"$entry"
  clsid=${!filter}
  name=$filter:$fixture
  dumps="$work/${fixture//\//-}-$filter"
  mkdir -p "$dumps"
  if ! timeout 150 wine "$host" "$(winpath "tests/fixtures/$fixture")" --filter "$clsid" --seek "$seek_seconds" \
      --timeout 60 --decode "$(winpath "$dumps")" 2>"$dumps/host.err" | tr -d '\r' >"$dumps/host.out"; then
    echo "FAILED: $name: graph host" >&2
    grep -E '^# (FAILED|decoded|no decoder|decoder refuses)|passed' "$dumps/host.out" >&2 || tail -n 5 "$dumps/host.err" >&2
    failures=$((failures + 1))
    continue
  fi
  build/release/vmx packets "tests/fixtures/$fixture" --filter "$clsid" --seek "$seek_seconds" >"$dumps/source.txt"
  if ! python3 tests/windows/compare_decoded.py "tests/fixtures/$fixture" "$dumps/host.out" "$dumps" \
      --seek "$seek_seconds" --expect "$pins" --name "$name" --source-after-seek "$dumps/source.txt" \
      >"$dumps/compare.out"; then
    failures=$((failures + 1))
  fi
  grep -v '^table' "$dumps/compare.out"
  grep '^table' "$dumps/compare.out" >>"$work/table" || true
  files=$((files + 1))
done

# Per container and codec: pins, and decoded samples (audio sample frames or pictures).
echo "filter, codec: pins, outcome, decoded samples over both runs"
awk -F'\t' '{ split($2, where, ":"); key = where[1] ", " $3 " (" $4 ")"; pins[key]++; samples[key] += $5 }
  END { for (key in pins) print key ": " pins[key] " pins, " samples[key] " samples" }' "$work/table" | sort
pins_total=$(wc -l <"$work/table")
decoded=$(awk -F'\t' '$4 == "decoded"' "$work/table" | wc -l)
samples_total=$(awk -F'\t' '{ s += $5 } END { print s + 0 }' "$work/table")
echo "wine-decoders: $files files, $pins_total pins, $decoded decoded by Wine and matching ffmpeg," \
  "$samples_total decoded samples, in $(($(date +%s) - began)) s"
if [ "$failures" -gt 0 ]; then
  echo "wine-decoders: $failures failures" >&2
  exit 1
fi
