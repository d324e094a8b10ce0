#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one built libFuzzer target for SECONDS, or until RUNS executions when that comes first,
# with the project's limits and its starting corpus and dictionary, and prints
# "TARGET: N runs in S s" on stdout. A budget of 0 is no limit on that count; one of the two
# must be set. libFuzzer's own output goes to
# a log beside the corpus; on a crash, leak, timeout or out-of-memory report the end of that log
# and the saved input are shown on stderr and the exit status is 1.
#
# Usage: fuzz/run-target.sh TARGET SECONDS [RUNS] [LIBFUZZER_OPTION...]
# PEMDOR_FUZZ_BUILD names the build directory (default build/fuzz, as scripts/fuzz.sh makes it).
# The corpus grows in $PEMDOR_FUZZ_BUILD/fuzz-run/TARGET/corpus across runs; the starting files
# are copied there, never written to where they come from.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

if (($# < 2)); then
  echo "usage: fuzz/run-target.sh TARGET SECONDS [RUNS] [LIBFUZZER_OPTION...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
runs=0
if (($# > 0)) && [[ "$1" =~ ^[0-9]+$ ]]; then
  runs=$1
  shift
fi
if [[ ! "$seconds" =~ ^[0-9]+$ ]] || ((seconds == 0 && runs == 0)); then
  echo "run-target: give a budget: SECONDS, RUNS or both (whole numbers; 0 is no limit)" >&2
  exit 2
fi

build=${PEMDOR_FUZZ_BUILD:-build/fuzz}
binary=$build/fuzz/$target
if [[ ! -x "$binary" ]]; then
  echo "run-target: $binary is not built (run scripts/fuzz.sh)" >&2
  exit 2
fi

json_suite=tests/data/JSONTestSuite/test_parsing
# What each target starts from: folders of example inputs and dictionaries in fuzz/.
case "$target" in
  fuzz_scenario)
    starting=("$json_suite" scenarios)
    dicts=(json.dict scenario.dict)
    ;;
  fuzz_json_write)
    # Its input is a recipe for a value, not JSON text: the files serve as bytes of many
    # lengths, and JSON tokens would not help.
    starting=("$json_suite")
    dicts=()
    ;;
  *)
    starting=("$json_suite")
    dicts=(json.dict)
    ;;
esac

work=$build/fuzz-run/$target
mkdir -p "$work/corpus" "$work/artifacts"
for folder in "${starting[@]}"; do
  if [[ -d "$folder" ]]; then
    find "$folder" -maxdepth 1 -type f -exec cp -n -t "$work/corpus" {} +
  else
    echo "run-target: $folder is missing" >&2
    exit 2
  fi
done
# libFuzzer reads a max_total_time of 0 as no limit, and runs only when given (-1 is none).
((runs > 0)) || runs=-1
options=(-max_total_time="$seconds" -runs="$runs" -max_len=65536 -timeout=10 -rss_limit_mb=2048
  -print_final_stats=1 -artifact_prefix="$work/artifacts/")
if ((${#dicts[@]} > 0)); then
  cat "${dicts[@]/#/fuzz/}" >"$work/$target.dict"
  options+=(-dict="$work/$target.dict")
fi

log=$work/$target.log
# Inputs saved by earlier runs stay; only those of this run are shown on a failure.
touch "$work/started"
set +e
# libFuzzer ends the run itself at its budget; with a time budget, an outer limit catches a
# wedged process (a budget in executions alone relies on libFuzzer's per-input -timeout).
if ((seconds > 0)); then
  timeout --kill-after=10 $((seconds + 120)) "$binary" "${options[@]}" "$@" "$work/corpus" >"$log" 2>&1
  status=$?
else
  "$binary" "${options[@]}" "$@" "$work/corpus" >"$log" 2>&1
  status=$?
fi
set -e

# libFuzzer's closing line: "Done 332366 runs in 21 second(s)".
done_line=$(sed -nE 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1 \2/p' "$log" | tail -n 1)
if ((status != 0)) || [[ -z "$done_line" ]]; then
  {
    echo "run-target: $target failed (exit status $status); the end of $log:"
    tail -n 40 "$log"
    find "$work/artifacts" -type f -newer "$work/started" | while read -r artifact; do
      echo "saved input: $artifact (reproduce: $binary $artifact)"
    done
  } >&2
  exit 1
fi
read -r runs took <<<"$done_line"
echo "$target: $runs runs in $took s"
