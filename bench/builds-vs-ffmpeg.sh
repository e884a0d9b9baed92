#!/usr/bin/env bash
# Times two or more builds of play_bench on one file against ffmpeg in the same run, each round
# running ffmpeg and then every build, so that a change is judged against the build before it
# under the same load: bench/builds-vs-ffmpeg.sh FILE BENCH BENCH... (rounds: $VMX_BENCH_RUNS,
# default 7). Prints the median of each and its ratio over ffmpeg's median. $VMX_BENCH_OPTIONS
# go to every build's play_bench (e.g. --filter ogg).
set -euo pipefail
. "$(dirname "$0")/against-ffmpeg.sh"
if [ $# -lt 2 ]; then
  echo "usage: builds-vs-ffmpeg.sh FILE BENCH [BENCH...]" >&2
  exit 2
fi
file=$1
shift
benches=("$@")
rounds="${VMX_BENCH_RUNS:-7}"
read -r -a options <<<"${VMX_BENCH_OPTIONS:-}"
"$root/scripts/need-packages.sh" ffmpeg
cat "$file" >/dev/null  # into the page cache, so no run pays for the first read

declare -A times
theirs=()
for ((round = 1; round <= rounds; round++)); do
  start=$(now_ns)
  ffmpeg -v fatal -nostdin -i "$file" -map 0 -c copy -f null -
  theirs+=("$(seconds_since "$start")")
  for i in "${!benches[@]}"; do
    start=$(now_ns)
    "${benches[$i]}" "$file" --no-checksum "${options[@]}" >/dev/null
    times[$i]+="$(seconds_since "$start") "
  done
done
ffmpeg_median=$(median "${theirs[@]}")
echo "ffmpeg_median_s=$ffmpeg_median"
for i in "${!benches[@]}"; do
  # shellcheck disable=SC2086
  ours=$(median ${times[$i]})
  awk -v name="${benches[$i]}" -v ours="$ours" -v theirs="$ffmpeg_median" \
    'BEGIN { printf "%s: median_s=%.3f ratio_over_ffmpeg=%.3f\n", name, ours, ours / theirs }'
done
