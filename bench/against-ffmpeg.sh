# Sourced by the *-vs-ffmpeg.sh benchmarks: times a play_bench run against
# `ffmpeg -i FILE -map 0 -c copy -f null -` on the same file, alternately, and prints each run,
# the medians and their ratio.
#   compare_with_ffmpeg RUNS FILE BENCH [BENCH_OPTION...]

export LC_ALL=C
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# choose_bench NAME [BENCH]: sets bench (BENCH, else $VMX_BENCH, else the release build's
# play_bench) and runs ($VMX_BENCH_RUNS, else 5); stops the script when there is no such program.
choose_bench() {
  bench="${2:-${VMX_BENCH:-$root/build/release/play_bench}}"
  runs="${VMX_BENCH_RUNS:-5}"
  if [ ! -x "$bench" ]; then
    echo "$1: no executable bench program at $bench (build it, or pass its path)" >&2
    exit 1
  fi
}

now_ns() { date +%s%N; }
seconds_since() { awk -v start="$1" -v end="$(now_ns)" 'BEGIN { printf "%.3f", (end - start) / 1e9 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

compare_with_ffmpeg() {
  local runs=$1 file=$2 bench=$3
  shift 3
  local ours=() ours_reported=() theirs=() run start output reported errors
  errors="$(mktemp)"
  for ((run = 1; run <= runs; run++)); do
    start=$(now_ns)
    if ! output=$("$bench" "$file" "$@" 2>"$errors"); then
      echo "$(basename "$0"): $bench failed on $file (run $run): $(tr '\n' ' ' <"$errors")" >&2
      rm -f "$errors"
      return 1
    fi
    ours+=("$(seconds_since "$start")")
    # A play that ends at once with nothing delivered would time nothing.
    if printf '%s\n' "$output" | grep -Eq '(^| )samples=0( |$)'; then
      echo "$(basename "$0"): $bench delivered no samples from $file: $output" >&2
      rm -f "$errors"
      return 1
    fi
    reported=$(printf '%s\n' "$output" | sed -n 's/.*wall_s=\([0-9.eE+-]*\).*/\1/p' | tail -n 1)
    [ -n "$reported" ] && ours_reported+=("$reported")
    echo "run $run ours: ${ours[-1]} s (${output//$'\n'/ })"

    start=$(now_ns)
    ffmpeg -v fatal -nostdin -i "$file" -map 0 -c copy -f null -
    theirs+=("$(seconds_since "$start")")
    echo "run $run ffmpeg: ${theirs[-1]} s"
  done
  rm -f "$errors"

  local ours_median theirs_median
  ours_median=$(median "${ours[@]}")
  theirs_median=$(median "${theirs[@]}")
  echo "ours_median_s=$ours_median"
  if [ ${#ours_reported[@]} -gt 0 ]; then
    echo "ours_reported_wall_median_s=$(median "${ours_reported[@]}")"
  fi
  echo "ffmpeg_median_s=$theirs_median"
  awk -v ours="$ours_median" -v theirs="$theirs_median" \
    'BEGIN { if (theirs > 0) printf "ratio_ours_over_ffmpeg=%.3f\n", ours / theirs; else print "ratio_ours_over_ffmpeg=n/a" }'
}
