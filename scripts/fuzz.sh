#!/usr/bin/env bash
# A fuzzing campaign: scripts/fuzz.sh [MINUTES] [TARGET...]
# Builds the fuzz flavour, then runs each target (default: every parser-level target; a name may
# be given as "mkv", "mkv_parser_fuzz" or a graph-level "mkv_fuzz") for MINUTES (default 1,
# decimals allowed), $FUZZ_JOBS at a time (default 2: one a core), and prints per target the
# inputs run, the median inputs a second (and inputs a second of its own CPU time, which tells a
# slow target from a busy machine), the coverage and the findings.
#
# A target runs in rounds of a minute over one corpus, so that each round's rate counts in the
# median and a finding ends only its round. Seeds are the fixtures of the target's container and
# its findings under tests/fixtures/fuzz/; new inputs and findings go to build/fuzz/campaign/
# (the findings of the run before move to findings.previous/).
# Environment: FUZZ_JOBS, FUZZ_MAX_LEN (bytes an input, default 8192: headers and the first
# packets of every seed, at the rate a parser target should keep), FUZZ_TIMEOUT (seconds an
# input, default 5), FUZZ_NO_BUILD=1 to use the targets as built, FUZZ_NICE (the targets' nice
# level, default 19: a campaign beside other work yields to it; 0 on a quiet machine).
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-1}
[ $# -gt 0 ] && shift
jobs=${FUZZ_JOBS:-2}
max_len=${FUZZ_MAX_LEN:-8192}
timeout=${FUZZ_TIMEOUT:-5}
niceness=${FUZZ_NICE:-19}
round_seconds=60
build=build/fuzz
campaign=$build/campaign

[ "${FUZZ_NO_BUILD:-0}" = 1 ] || nice -n 19 scripts/build.sh fuzz >/dev/null

targets=()
if [ $# -eq 0 ]; then
  for source in fuzz/*_parser_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
else
  for name in "$@"; do
    if [ -x "$build/$name" ]; then targets+=("$name")
    elif [ -x "$build/${name}_parser_fuzz" ]; then targets+=("${name}_parser_fuzz")
    else echo "no fuzz target $name in $build" >&2; exit 2
    fi
  done
fi

# The container of a target: its fixture folders, its dictionary and its findings' prefix.
container_of() {
  local name=${1%_fuzz}
  echo "${name%_parser}"
}
fixture_dirs() {
  case "$1" in
    mpeg) echo "mpeg ext/hevc-eac3.ts" ;;
    mpeg2) echo "ts mpeg ext/hevc-eac3.ts" ;;
    ogg | ogg2) echo "ogg" ;;
    asf | asf_wm) echo "asf" ;;
    *) echo "$1" ;;
  esac
}
dictionary_of() {
  case "$1" in
    mpeg | mpeg2) echo fuzz/mpeg.dict ;;
    ogg | ogg2) echo fuzz/ogg.dict ;;
    asf | asf_wm) echo fuzz/asf.dict ;;
    *) echo "fuzz/$1.dict" ;;
  esac
}
finding_prefix() {
  case "$1" in
    ogg) echo "ogg1-" ;;
    ogg2) echo "ogg-" ;;
    asf_wm) echo "asf-wm-" ;;
    *) echo "$1-" ;;
  esac
}

# Copies the media files (no packet tables, notes or scripts) of the container's folders, and the
# single files named beside them, into the seed folder.
make_seeds() {
  local container=$1 seeds=$2
  rm -rf "$seeds"
  mkdir -p "$seeds"
  local dir
  for dir in $(fixture_dirs "$container"); do
    find "tests/fixtures/$dir" -type f ! -name '*.json' ! -name '*.txt' ! -name '*.md' ! -name '*.py' \
      ! -name '*.sh' ! -name '*.jq' -exec cp -t "$seeds" {} + 2>/dev/null || true
  done
  find tests/fixtures/fuzz -type f -name "$(finding_prefix "$container")*" -exec cp -t "$seeds" {} + 2>/dev/null || true
}

# CPU seconds (user and system) the finished children of the process PID have used so far.
children_cpu() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); print ($14 + $15) / hz }' "/proc/$1/stat"
}

# Runs one target for its share of time in rounds; writes KEY=VALUE lines to its summary file.
run_target() {
  local target=$1
  local container work seeds corpus artifacts dictionary
  container=$(container_of "$target")
  work=$campaign/$target
  seeds=$work/seeds
  corpus=$work/corpus
  artifacts=$work/findings
  if [ -d "$artifacts" ]; then
    rm -rf "$artifacts.previous"
    mv "$artifacts" "$artifacts.previous"
  fi
  mkdir -p "$corpus" "$artifacts"
  make_seeds "$container" "$seeds"
  dictionary=$(dictionary_of "$container")
  local options=(-max_len="$max_len" -timeout="$timeout" -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$artifacts/")
  [ -f "$dictionary" ] && options+=(-dict="$dictionary")

  local total remaining round=0 runs=0 rates=() cov=0 ft=0 corpus_size=0 cpu_before cpu_after
  total=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
  remaining=$total
  local me=$BASHPID
  cpu_before=$(children_cpu "$me")
  while [ "$remaining" -gt 0 ]; do
    local seconds=$(( remaining < round_seconds ? remaining : round_seconds ))
    local log=$work/round-$round.log
    local started=$SECONDS
    # A finding ends the round with a non-zero status: the campaign goes on.
    nice -n "$niceness" "$build/$target" "${options[@]}" -max_total_time="$seconds" "$corpus" "$seeds" >"$log" 2>&1 || true
    local spent=$(( SECONDS - started ))
    [ "$spent" -lt 1 ] && spent=1
    remaining=$(( remaining - spent ))
    local executed
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    executed=${executed:-0}
    runs=$(( runs + executed ))
    rates+=("$(( executed / spent ))")
    local status
    status=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    if [ -n "$status" ]; then
      cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status")
      ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")
      corpus_size=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$status")
    fi
    round=$(( round + 1 ))
  done
  cpu_after=$(children_cpu "$me")
  local median
  median=$(printf '%s\n' "${rates[@]}" | sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }')
  local findings
  findings=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) | wc -l)
  {
    echo "target=$target"
    echo "seconds=$total"
    echo "rounds=$round"
    echo "runs=$runs"
    echo "median_rate=$median"
    echo "cpu_rate=$(awk -v r="$runs" -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { c = b - a; printf "%d", (c > 0 ? r / c : 0) }')"
    echo "cov=${cov:-0}"
    echo "ft=${ft:-0}"
    echo "corpus=${corpus_size:-0}"
    echo "findings=$findings"
  } >"$work/summary"
}

mkdir -p "$campaign"
pids=()
for target in "${targets[@]}"; do
  rm -f "$campaign/$target/summary"
  run_target "$target" &
  pids+=($!)
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n || true
  done
done
wait

printf '%-22s %8s %12s %10s %10s %7s %8s %7s %9s\n' target minutes inputs inputs/s cpu-in/s cov ft corpus findings
failed=0
for target in "${targets[@]}"; do
  summary=$campaign/$target/summary
  if [ ! -f "$summary" ]; then
    printf '%-22s did not finish\n' "$target"
    failed=1
    continue
  fi
  # shellcheck disable=SC1090
  (
    . "$summary"
    printf '%-22s %8s %12s %10s %10s %7s %8s %7s %9s\n' "$target" "$(awk -v s="$seconds" 'BEGIN { printf "%.1f", s / 60 }')" \
      "$runs" "$median_rate" "$cpu_rate" "$cov" "$ft" "$corpus" "$findings"
  )
  for finding in $(find "$campaign/$target/findings" -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) | sort); do
    echo "  finding: $finding"
    failed=1
  done
done
exit "$failed"
