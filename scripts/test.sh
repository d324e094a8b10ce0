#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs every test in three builds:
# default (optimised), asan (AddressSanitizer + UndefinedBehaviorSanitizer) and tsan
# (ThreadSanitizer). Stops at the first failure and prints a summary with timings.
#
# Usage: scripts/test.sh [PRESET...]   (default: default asan tsan)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

presets=("$@")
if ((${#presets[@]} == 0)); then
  presets=(default asan tsan)
fi

summary=()
total_passed=0
total_failed=0
total_skipped=0
started=$SECONDS

print_summary() {
  local status=$1
  echo
  echo "==== summary ===="
  local line
  for line in "${summary[@]}"; do
    echo "$line"
  done
  echo "total time: $((SECONDS - started)) s"
  echo "result: ${status}"
}

fail() {
  summary+=("$1")
  print_summary FAILED
  echo "total: ${total_passed} passed, $((total_failed > 0 ? total_failed : 1)) failed, ${total_skipped} skipped"
  exit 1
}

step_started=$SECONDS
if ! scripts/install-deps.sh; then
  fail "install-deps: FAILED"
fi
summary+=("install-deps: $((SECONDS - step_started)) s")

for preset in "${presets[@]}"; do
  step_started=$SECONDS
  echo
  echo "==== ${preset}: configure and build ===="
  if ! scripts/build.sh "$preset"; then
    fail "${preset}: build FAILED after $((SECONDS - step_started)) s"
  fi
  build_time=$((SECONDS - step_started))

  step_started=$SECONDS
  echo
  echo "==== ${preset}: test ===="
  log=build/${preset}/pemdor-ctest.log
  set +e
  ctest --preset "$preset" 2>&1 | tee "$log"
  ctest_status=${PIPESTATUS[0]}
  set -e
  test_time=$((SECONDS - step_started))

  # ctest's closing line: "100% tests passed, 0 tests failed out of 57".
  counts=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log" | tail -n 1)
  failed=0
  ran=0
  if [[ -n "$counts" ]]; then
    read -r failed ran <<<"$counts"
  fi
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" || true)
  passed=$((ran - failed - skipped))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
  result="${preset}: build ${build_time} s, test ${test_time} s: ${passed} passed, ${failed} failed, ${skipped} skipped"

  if ((ctest_status != 0)); then
    fail "${result} (ctest exit status ${ctest_status})"
  fi
  # A sanitizer report in a child process whose exit status a test does not check still fails
  # the run: every test's full output is in LastTest.log.
  reports=$(grep -hE 'SUMMARY: (Address|Leak|Thread|UndefinedBehavior|Memory)Sanitizer' \
    build/"${preset}"/Testing/Temporary/LastTest*.log 2>/dev/null || true)
  if [[ -n "$reports" ]]; then
    echo "$reports" >&2
    fail "${result}, but the test output holds sanitizer reports"
  fi
  summary+=("$result")
done

# Fuzzing: after a full run of the three builds, the libFuzzer targets are built with clang and
# each runs for a bounded time (45 s; PEMDOR_FUZZ_SECONDS overrides it, 0 skips the step).
if (($# == 0)); then
  step_started=$SECONDS
  echo
  if ! scripts/fuzz.sh 45; then
    fail "fuzz: FAILED after $((SECONDS - step_started)) s"
  fi
  summary+=("fuzz: $((SECONDS - step_started)) s")
fi

print_summary PASSED
echo "total: ${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped"
