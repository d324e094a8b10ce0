#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the suites that talk to real services and devices (ctest labels gpsd and gpsfake, geoclue,
# combined (several location services at once),
# iio and, where the build has it, evdev) ROUNDS times in a row (default 30) while two CPU-bound
# neighbours (stress-ng --cpu 2) keep both cores busy, and reports every failure. A test that
# fails in one round only is a bug to find, not noise: nothing is run again.
#
# Usage: scripts/stress.sh [PRESET [ROUNDS]]
# PRESET is a configure preset of CMakePresets.json (default: default); the build is brought up
# to date first. PEMDOR_STRESS_NICE sets the neighbours' nice level (default 0, as busy as the
# tests; a shared machine may want 10). Logs go to build/PRESET/stress/; the summary ends with
# "stress: R rounds, T test runs, F failed". Not part of CI: it takes a while.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

preset=${1:-default}
rounds=${2:-30}
nice_level=${PEMDOR_STRESS_NICE:-0}
if [[ ! "$rounds" =~ ^[1-9][0-9]*$ || ! "$nice_level" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/stress.sh [PRESET [ROUNDS]] (ROUNDS a positive whole number)" >&2
  exit 2
fi
if ! command -v stress-ng >/dev/null; then
  echo "stress: stress-ng is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

echo "==== stress: build (${preset}) ===="
scripts/build.sh "$preset" >/dev/null

build=build/$preset
labels=(gpsd gpsfake geoclue combined iio)
if ctest --test-dir "$build" -N -L '^evdev$' | grep -qE '^Total Tests: [1-9]'; then
  labels+=(evdev)
fi
label_regex="^($(
  IFS='|'
  echo "${labels[*]}"
))\$"
tests=$(ctest --test-dir "$build" -N -L "$label_regex" | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
if ((tests == 0)); then
  echo "stress: no tests with the labels ${labels[*]} in ${build}" >&2
  exit 1
fi

logs=$build/stress
rm -rf "$logs"
mkdir -p "$logs"

# The neighbours run until this script ends, however it ends, and are stopped by their own id.
nice -n "$nice_level" stress-ng --cpu 2 --cpu-method matrixprod --timeout 0 --quiet &
neighbours=$!
trap 'kill "$neighbours" 2>/dev/null; wait "$neighbours" 2>/dev/null || true' EXIT

echo "==== stress: ${rounds} rounds of ${tests} tests (labels ${labels[*]})," \
  "beside stress-ng --cpu 2 (nice ${nice_level}, pid ${neighbours}) ===="
started=$SECONDS
failed_runs=0
declare -A failures=()
for round in $(seq "$rounds"); do
  log=$logs/round-$round.log
  round_started=$SECONDS
  set +e
  ctest --test-dir "$build" -L "$label_regex" --parallel 2 --timeout 300 --output-on-failure \
    >"$log" 2>&1
  set -e
  # ctest's list of failures: "	 12 - Suite.Name (Failed)".
  mapfile -t failed < <(sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \([A-Za-z ]+\)$/\1/p' "$log")
  ran=$(sed -nE 's/^[0-9]+% tests passed, [0-9]+ tests? failed out of ([0-9]+).*/\1/p' "$log")
  if [[ -z "$ran" ]]; then
    failed+=("(ctest did not finish: see $log)")
  fi
  failed_runs=$((failed_runs + ${#failed[@]}))
  for name in "${failed[@]}"; do
    failures[$name]=$((${failures[$name]:-0} + 1))
  done
  echo "round ${round}/${rounds}: ${ran:-?} tests, ${#failed[@]} failed," \
    "$((SECONDS - round_started)) s${failed:+ (${failed[*]})}"
done

echo
echo "==== stress: summary ($((SECONDS - started)) s, logs in ${logs}) ===="
for name in "${!failures[@]}"; do
  echo "failed ${failures[$name]} of ${rounds} rounds: ${name}"
done
echo "stress: ${rounds} rounds, $((rounds * tests)) test runs, ${failed_runs} failed"
((failed_runs == 0))
