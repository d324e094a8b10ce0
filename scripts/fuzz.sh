#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, then runs each target for SECONDS (default 60), or
# until RUNS executions when that comes first, and prints the executions of each. Fails on any
# crash, leak, timeout or out-of-memory report.
#
# Usage: scripts/fuzz.sh [SECONDS [RUNS]]
# PEMDOR_FUZZ_SECONDS and PEMDOR_FUZZ_RUNS, when set, replace SECONDS and RUNS. A budget of 0 is
# no limit on that count (RUNS defaults to 0); both 0 skips the whole step, so
# "scripts/fuzz.sh 0 10000000" runs each target to ten million executions however long it
# takes. One target at a time can be run longer with fuzz/run-target.sh once this has built them.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${PEMDOR_FUZZ_SECONDS:-${1:-60}}
runs=${PEMDOR_FUZZ_RUNS:-${2:-0}}
if [[ ! "$seconds" =~ ^[0-9]+$ || ! "$runs" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS [RUNS]] (whole numbers; 0 is no limit, both 0 skips)" >&2
  exit 2
fi
if ((seconds == 0 && runs == 0)); then
  echo "fuzz: skipped (no budget)"
  exit 0
fi
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

started=$SECONDS
configure_args=(
  -G Ninja
  -DCMAKE_CXX_COMPILER=clang++
  # Assertions stay on; -O1 keeps the instrumented code fast enough to fuzz. Warnings are
  # errors, as in every build of ours.
  -DCMAKE_BUILD_TYPE=Debug
  -DCMAKE_CXX_FLAGS=-O1
  -DPEMDOR_SANITIZE=address,undefined
  -DPEMDOR_BUILD_FUZZERS=ON
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  -DPEMDOR_BUILD_TESTS=OFF
  -DPEMDOR_BUILD_BENCHMARKS=OFF
  -DPEMDOR_BUILD_TOOLS=OFF
)
if command -v ccache >/dev/null; then
  configure_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
echo "==== fuzz: configure and build (build/fuzz) ===="
cmake -S . -B build/fuzz "${configure_args[@]}"
cmake --build build/fuzz --target pemdor_fuzzers --parallel "$(nproc)"
build_time=$((SECONDS - started))

targets=()
for source in fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$source" .cpp)")
done

echo
budget="${seconds} s"
((seconds == 0)) && budget="no time limit"
((runs > 0)) && budget+=", ${runs} runs"
echo "==== fuzz: ${#targets[@]} targets, ${budget} each ===="
results=()
failed=()
for target in "${targets[@]}"; do
  if line=$(fuzz/run-target.sh "$target" "$seconds" "$runs"); then
    echo "$line"
    results+=("$line")
  else
    failed+=("$target")
    results+=("$target: FAILED")
  fi
done

echo
echo "==== fuzz: summary (build ${build_time} s, total $((SECONDS - started)) s) ===="
printf '%s\n' "${results[@]}"
if ((${#failed[@]} > 0)); then
  echo "fuzz: FAILED: ${failed[*]}" >&2
  exit 1
fi
