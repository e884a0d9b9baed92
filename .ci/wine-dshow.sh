#!/usr/bin/env bash
# VMX.ax under Wine: builds the module and the graph test host with mingw-w64, registers the module
# in a fresh Wine prefix, plays every MP3 and AAC fixture and a set of Matroska, MP4, AVI, MPEG,
# ASF, FLV and Ogg ones (through both Ogg filters) through Wine's own filter graph (run, seek, run again) and compares each sample with what
# the Linux build delivers for the same file, has .ci/wine-decoders.sh decode a set of them with
# Wine's own decoders, then unregisters and checks that the keys are gone.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/need-packages.sh --no-install-recommends g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 \
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav

scripts/build.sh release
scripts/build.sh win
module=build/win/VMX.ax
host=build/win/tests/windows/vmx_graph_host.exe
seek_seconds=0.5

# A prefix of our own, headless, without the .NET and HTML installers or an audio driver.
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vmx-wine.XXXXXX")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv,winepulse.drv=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "${TMPDIR:-/tmp}/vmx-wine-out.XXXXXX")
cleanup() {
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# Windows path of a file: the prefix maps Z: to the root.
winpath() {
  local path
  path=$(realpath "$1")
  echo "Z:${path//\//\\}"
}

timeout 120 wineboot -i >/dev/null 2>&1 || { echo "FAILED: wineboot" >&2; exit 1; }

mapfile -t clsids < <(build/release/vmx filters | grep -o '{[0-9A-F-]*}')
[ ${#clsids[@]} -eq 12 ] || { echo "FAILED: vmx filters lists ${#clsids[@]} class identifiers, not 12" >&2; exit 1; }
category='{083863F1-70DE-11D0-BD40-00A0C911CE86}'

# Every class has its server key pointing at the module, and an entry in the filter category.
check_keys() {
  local expect=$1 clsid
  for clsid in "${clsids[@]}"; do
    if timeout 30 wine reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve >"$work/reg.txt" 2>/dev/null \
        && tr -d '\r' <"$work/reg.txt" | grep -qi 'VMX\.ax$'; then
      [ "$expect" = present ] || fail "$clsid still registered after regsvr32 /u"
    else
      [ "$expect" = absent ] || fail "$clsid has no InprocServer32 key naming VMX.ax"
    fi
    if timeout 30 wine reg query "HKCR\\CLSID\\$category\\Instance\\$clsid" >/dev/null 2>&1; then
      [ "$expect" = present ] || fail "$clsid still in the filter category after regsvr32 /u"
    else
      [ "$expect" = absent ] || fail "$clsid not in the filter category"
    fi
  done
}

timeout 60 wine regsvr32 /s "$(winpath "$module")" || fail "regsvr32 VMX.ax"
check_keys present

# Only samples and ends of stream are compared, each pin's from its last segment on (pin by pin):
# Wine's graph seeks on its own when it starts a run, which adds a flush and a segment that the
# Linux driver does not cause, and a pin that sends stream headers as it starts (the Ogg pins)
# sends them again after that seek.
delivered() {
  awk -F', ' '
    /^[0-9]+, segment/ { count[$1] = 0; next }
    /^[0-9]+, (sample|end-of-stream)/ {
      if (!($1 in seen)) { seen[$1] = 1; order[++pins] = $1 }
      line[$1, count[$1]++] = $0
    }
    END { for (i = 1; i <= pins; i++) for (k = 0; k < count[order[i]]; k++) print line[order[i], k] }'
}

# Every fixture of every filter the module has, with the filter's class identifier.
fixtures=()
for fixture in tests/fixtures/mp3/*.mp3; do fixtures+=("$fixture {C846F6AA-63EE-42CB-AB73-229BE6A795AA}"); done
for fixture in tests/fixtures/aac/*.aac; do fixtures+=("$fixture {C1EA8A02-9E67-4967-AEDC-845B8AA13EC0}"); done
# Matroska: video with laced audio, Cues every second, subtitle tracks, Xiph-laced Vorbis, WebM.
for fixture in tests/fixtures/mkv/{h264-aac,cues-10s,subtitles,laced-xiph}.mkv tests/fixtures/mkv/vp8-vorbis.webm; do
  fixtures+=("$fixture {9794BD42-281E-45EE-94CC-70A260E407B5}")
done
# MP4/QuickTime: H.264 + AAC both ways round, key frames every second, MPEG-4 + MP3, AC-3, PCM
# byte-swapped, ima4, a compressed movie header (inflated through Windows' temporary files).
for fixture in tests/fixtures/mp4/{h264-aac-moov-last,h264-aac-faststart,keys-4s,mpeg4-mp3,h264-ac3,cmov-moov-first}.mp4 \
    tests/fixtures/mp4/{pcm-twos,ima4,raw-rgb24}.mov; do
  fixtures+=("$fixture {D18284FE-DE51-4F33-A9BB-A8D3AE4B66BB}")
done
# AVI: MPEG-4 + MP3, H.264 + AAC, byte-timed ADPCM, two audio streams, no idx1 (scanned), OpenDML.
for fixture in tests/fixtures/avi/{xvid-mp3,h264-aac,ima-adpcm,two-audio,no-idx1,odml-no-idx1,raw-bgr24}.avi; do
  fixtures+=("$fixture {6BA9DD10-09B9-4C8B-89A8-8AC445601214}")
done
# MPEG: MPEG-1 and MPEG-2 program streams, AC-3 and LPCM sub-streams, DVD navigation packs, H.264
# with ADTS AAC and with MP3, a bare PES and a PVA file, and transport streams read packet by
# packet (TFrc prefix, 192-byte packets, a time stamp wrap).
for fixture in tests/fixtures/mpeg/{mpeg1-mp2,h264-aac}.mpg tests/fixtures/mpeg/{mpeg2-ac3x2,mpeg2-lpcm,dvd-nav,h264-mp3}.vob \
    tests/fixtures/mpeg/{bare.pes,video-audio.pva,tfrc.ts,ts-wrap.ts,m2ts-h264-aac.m2ts}; do
  fixtures+=("$fixture {0D84C574-0C1D-466C-9D7B-49FD7BBF6E87}")
done
# MPEG transport streams through the second MPEG filter: H.264 + AAC in 188- and 192-byte
# packets, AC-3 with languages, DTS, a 1080-line picture, and a program stream cut into pictures.
for fixture in tests/fixtures/ts/{ac3-languages,mpeg2-dts,h264-1080}.ts tests/fixtures/mpeg/ts-h264-aac.ts \
    tests/fixtures/mpeg/m2ts-h264-aac.m2ts tests/fixtures/mpeg/mpeg2-mp2.mpg; do
  fixtures+=("$fixture {4D40E319-013F-4F5C-900D-25EA9C1FF16D}")
done
# ASF through the native filter: WMV2 + WMA2 with a Simple Index, small packets, two languages,
# compressed payloads, audio spread, and a file indexed while it plays.
for fixture in tests/fixtures/asf/{wmv2-wma2,small-packets,two-languages,compressed-payloads,spread-audio,no-index}.wmv \
    tests/fixtures/asf/audio-only.wma; do
  fixtures+=("$fixture {5A9841E4-3164-48AB-B54F-633A792FB047}")
done

# FLV: H.264 + AAC with composition times, Sorenson with Nellymoser, ADPCM and PCM, VP6, a file
# without metadata, and one whose tag sizes lie.
for fixture in tests/fixtures/flv/{h264-aac,h264-aac-keyframe-index,sorenson-352x288-nellymoser-8k,sorenson-160x120-adpcm-44k-stereo,sorenson-pcm-u8,vp6-mp3,sorenson-mp3-no-metadata,mp3-audio-only}.flv \
    tests/fixtures/flv/damaged/data-size-too-large.flv; do
  fixtures+=("$fixture {4CDD9B3E-1D8E-48DE-8B5B-80AFADCB8CA1}")
done

# Ogg through the second Ogg filter: Vorbis, Theora + Vorbis, OGM video, MP3 and text, OGM PCM
# and AC-3, and a KStream stream whose pin gets nothing.
for fixture in tests/fixtures/ogg/{vorbis-44k-stereo,theora-vorbis,two-theora-vorbis,vorbis-kstream}.ogg \
    tests/fixtures/ogg/{ogm-mpeg4-mp3-text,ogm-pcm-ac3}.ogm; do
  fixtures+=("$fixture {4A9A79B3-6EAA-46AE-B024-5918C04C169E}")
done
# The same through the first Ogg filter (pins and threads of its own), with the DirectShow-samples
# kind and a file with chapters.
for fixture in tests/fixtures/ogg/{vorbis-44k-stereo,theora-vorbis,vorbis-kstream,dshow-mpeg4-mp3,vorbis-chapters}.ogg \
    tests/fixtures/ogg/ogm-mpeg4-mp3-text.ogm; do
  fixtures+=("$fixture {8B359726-D939-41A8-8CBD-69A27675D978}")
done

# ASF through the filter on the Windows Media reader: it plays what Wine's own reader gives. A
# probe tries the reader's calls one by one first; when one fails, the check says which, and
# that the filter then refuses the file cleanly rather than playing it.
wm_clsid='{07D8B782-BC02-485B-8B45-0C6073127B2B}'
wm_probe=build/win/tests/windows/vmx_wm_probe.exe
for fixture in tests/fixtures/asf/{wmv2-wma2,small-packets,two-languages}.wmv tests/fixtures/asf/audio-only.wma; do
  name=wm-$(basename "${fixture%.*}")
  if timeout 90 wine "$wm_probe" "$(winpath "$fixture")" 2>/dev/null | tr -d '\r' >"$work/$name.probe"; then
    fixtures+=("$fixture $wm_clsid")
    continue
  fi
  missing=$(grep -m 1 '^# FAILED' "$work/$name.probe" | sed 's/^# FAILED: //') || true
  echo "$name: Wine's Windows Media reader fails ${missing:-to answer}; the ASF filter on it is checked to refuse the file"
  timeout 60 wine "$host" "$(winpath "$fixture")" --filter "$wm_clsid" --timeout 20 2>/dev/null | tr -d '\r' >"$work/$name.wine" || true
  grep -q '^# FAILED: the file loads' "$work/$name.wine" || fail "$name: the filter did not refuse the file Wine's reader cannot open"
done

# play_as_on_linux "FILE CLSID" [--extensions]: plays the file through Wine's graph (run, seek, run
# again) and compares every sample with the Linux build's; with --extensions, the module's switch
# is on on both sides (the user key in the prefix, vmx --extensions).
played=0
play_as_on_linux() {
  local fixture=${1% *} clsid=${1##* } vmx_options=() name
  [ "${2:-}" = --extensions ] && vmx_options=(--extensions)
  name=$(basename "$(dirname "$fixture")")-$(basename "${fixture%.*}")-${clsid:1:8}${2:-}
  if ! timeout 60 wine "$host" "$(winpath "$fixture")" --filter "$clsid" --seek "$seek_seconds" --timeout 20 \
      2>"$work/$name.err" \
      | tr -d '\r' >"$work/$name.wine"; then
    fail "$name: graph host (see below)"
    grep -E '^# FAILED|passed' "$work/$name.wine" >&2 || cat "$work/$name.err" >&2
    return
  fi
  sed -n '/^# run 1/,/^# run 2/p' "$work/$name.wine" | delivered >"$work/$name.wine1"
  sed -n '/^# run 2/,$p' "$work/$name.wine" | delivered >"$work/$name.wine2"
  build/release/vmx "${vmx_options[@]}" packets "$fixture" --filter "$clsid" | delivered >"$work/$name.linux1"
  build/release/vmx "${vmx_options[@]}" packets "$fixture" --filter "$clsid" --seek "$seek_seconds" | delivered >"$work/$name.linux2"
  [ -s "$work/$name.linux1" ] || fail "$name: the Linux build delivered nothing"
  diff -u "$work/$name.linux1" "$work/$name.wine1" >&2 || fail "$name: samples differ from the Linux build"
  diff -u "$work/$name.linux2" "$work/$name.wine2" >&2 \
    || fail "$name: samples after the seek differ from the Linux build"
  echo "$name: $(grep -c ', sample,' "$work/$name.wine1") + $(grep -c ', sample,' "$work/$name.wine2") samples" \
    "as on Linux; $(tail -n 1 "$work/$name.wine")"
  played=$((played + 1))
}
for entry in "${fixtures[@]}"; do
  play_as_on_linux "$entry"
done
[ "$played" -eq "${#fixtures[@]}" ] || fail "only $played of ${#fixtures[@]} fixtures played"

# Files of the newer codecs and container features, with the extensions switch on the way a player
# turns it on: a DWORD under the module's user key.
extension_fixtures=()
for fixture in tests/fixtures/mp4/{fragmented-no-mfra,fragmented-moov-samples,hevc-flac,av1-opus,vp9-opus,h264-eac3}.mp4 \
    tests/fixtures/mp4/alac.m4a; do
  extension_fixtures+=("$fixture {D18284FE-DE51-4F33-A9BB-A8D3AE4B66BB}")
done
for fixture in tests/fixtures/ext/{vp9-opus.webm,hevc-opus.mkv,av1-opus.mkv,eac3-truehd-webvtt.mkv,opus-cues.mka}; do
  extension_fixtures+=("$fixture {9794BD42-281E-45EE-94CC-70A260E407B5}")
done
for fixture in tests/fixtures/ext/{opusenc.ogg,flac-tool.oga,speexenc.ogg}; do
  extension_fixtures+=("$fixture {4A9A79B3-6EAA-46AE-B024-5918C04C169E}" "$fixture {8B359726-D939-41A8-8CBD-69A27675D978}")
done
extension_fixtures+=("tests/fixtures/ext/hevc-eac3.ts {0D84C574-0C1D-466C-9D7B-49FD7BBF6E87}"
  "tests/fixtures/ext/hevc-eac3.ts {4D40E319-013F-4F5C-900D-25EA9C1FF16D}")
timeout 30 wine reg add 'HKCU\Software\VMX' /v Extensions /t REG_DWORD /d 1 /f >/dev/null 2>&1 \
  || fail "reg add HKCU\\Software\\VMX Extensions"
before=$played
for entry in "${extension_fixtures[@]}"; do
  play_as_on_linux "$entry" --extensions
done
[ $((played - before)) -eq "${#extension_fixtures[@]}" ] \
  || fail "only $((played - before)) of ${#extension_fixtures[@]} extension files played"
timeout 30 wine reg delete 'HKCU\Software\VMX' /f >/dev/null 2>&1 || fail "reg delete HKCU\\Software\\VMX"

# The same pins through Wine's own decoders, in this prefix while the module is registered.
VMX_WINE_READY=1 .ci/wine-decoders.sh || fail "Wine's decoders (see above)"

timeout 60 wine regsvr32 /s /u "$(winpath "$module")" || fail "regsvr32 /u VMX.ax"
check_keys absent

if [ "$failures" -gt 0 ]; then
  echo "wine-dshow: $failures failures" >&2
  exit 1
fi
echo "wine-dshow: $played files played through Wine's filter graph as on Linux (${#extension_fixtures[@]} with the" \
  "extensions switch on); registration and unregistration checked"
