#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, then configures, builds and runs the tests in five builds:
#   default  the preset: optimised with debug information, every test;
#   asan     the preset: AddressSanitizer + UndefinedBehaviorSanitizer, every test;
#   tsan     the preset: ThreadSanitizer, every test;
#   release  a plain `cmake -DCMAKE_BUILD_TYPE=Release` with GCC, as a user or a distribution
#            builds it (no preset, warnings not errors), every test but the subproject build;
#   clang    a plain Release with clang (CXX=clang++), a shared library installed under /usr:
#            every test but the subproject build, with the Debian packages and their consumer;
#            then the packages are made and lintian checks them, failing on an error or a
#            warning.
# The two plain builds fail here on any compiler warning, since their own configure does not
# make warnings errors. Every build makes the API reference (target docs) with Doxygen's
# warnings as errors. After all five, the fuzzers run briefly. Stops at the first failure and
# prints a summary with timings.
#
# Usage: scripts/test.sh [BUILD...]   (default: all five, then the fuzzers)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

builds=("$@")
if ((${#builds[@]} == 0)); then
  builds=(default asan tsan release clang)
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

# Configures and builds a plain build (no preset) in build/NAME with the given configure
# options, and fails on any warning in its compiler output.
plain_build() {
  local name=$1
  shift
  local args=(-S . -B "build/${name}" -G Ninja "$@")
  if command -v ccache >/dev/null; then
    args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake "${args[@]}" || return 1
  # Ninja prints a compiler's output only for the commands it rebuilt: a clean build folder
  # shows every warning.
  cmake --build "build/${name}" --parallel "$(nproc)" 2>&1 | tee "build/${name}/pemdor-build.log"
  ((PIPESTATUS[0] == 0)) || return 1
  if grep -E 'warning:' "build/${name}/pemdor-build.log"; then
    echo "${name}: the build warns (see above)" >&2
    return 1
  fi
}

# Makes the Debian packages of the build in DIR into DIR/packages and runs lintian on them;
# fails on any error or warning (info and pedantic tags may stay).
packages_and_lintian() {
  local dir=$1
  rm -rf "${dir}/packages"
  (cd "$dir" && cpack -G DEB -B packages) || return 1
  local debs=("${dir}"/packages/*.deb)
  echo "lintian on ${debs[*]}"
  lintian --fail-on error,warning --display-info "${debs[@]}"
}

for build in "${builds[@]}"; do
  step_started=$SECONDS
  echo
  echo "==== ${build}: configure and build ===="
  # The plain builds start clean so that every warning shows; ccache keeps that cheap.
  built=0
  case "$build" in
    release)
      rm -rf build/release
      plain_build release -DCMAKE_BUILD_TYPE=Release -DPEMDOR_DOCS_WARNINGS_AS_ERRORS=ON && built=1
      ;;
    clang)
      rm -rf build/clang
      (export CXX=clang++ && plain_build clang -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX=/usr -DPEMDOR_DOCS_WARNINGS_AS_ERRORS=ON) &&
        built=1
      ;;
    *) scripts/build.sh "$build" && built=1 ;;
  esac
  if ((built == 0)); then
    fail "${build}: build FAILED after $((SECONDS - step_started)) s"
  fi
  build_time=$((SECONDS - step_started))

  step_started=$SECONDS
  echo
  echo "==== ${build}: test ===="
  log=build/${build}/pemdor-ctest.log
  set +e
  case "$build" in
    release | clang)
      # The subproject test builds the library once more, as a parent project would; the
      # default build runs it.
      ctest --test-dir "build/${build}" --output-on-failure --parallel 2 --timeout 300 \
        --no-tests=error -E '^install\.subproject$' 2>&1 | tee "$log"
      ;;
    *) ctest --preset "$build" 2>&1 | tee "$log" ;;
  esac
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
  result="${build}: build ${build_time} s, test ${test_time} s: ${passed} passed, ${failed} failed, ${skipped} skipped"

  if ((ctest_status != 0)); then
    fail "${result} (ctest exit status ${ctest_status})"
  fi
  # In continuous integration every test runs: a skip there is a test that never ran.
  if [[ "${CI:-}" == "true" ]] && ((skipped > 0)); then
    fail "${result}, but CI=true allows no skipped test"
  fi
  # A sanitizer report in a child process whose exit status a test does not check still fails
  # the run: every test's full output is in LastTest.log.
  reports=$(grep -hE 'SUMMARY: (Address|Leak|Thread|UndefinedBehavior|Memory)Sanitizer' \
    build/"${build}"/Testing/Temporary/LastTest*.log 2>/dev/null || true)
  if [[ -n "$reports" ]]; then
    echo "$reports" >&2
    fail "${result}, but the test output holds sanitizer reports"
  fi
  summary+=("$result")

  if [[ $build == clang ]]; then
    step_started=$SECONDS
    echo
    echo "==== clang: Debian packages and lintian ===="
    if ! packages_and_lintian build/clang; then
      fail "clang: packages or lintian FAILED after $((SECONDS - step_started)) s"
    fi
    summary+=("clang: packages and lintian: $((SECONDS - step_started)) s")
  fi
done

# Fuzzing: after a full run of the five builds, the libFuzzer targets are built with clang and
# each runs for a bounded time (20 s; PEMDOR_FUZZ_SECONDS overrides it, 0 skips the step).
if (($# == 0)); then
  step_started=$SECONDS
  echo
  if ! scripts/fuzz.sh 20; then
    fail "fuzz: FAILED after $((SECONDS - step_started)) s"
  fi
  summary+=("fuzz: $((SECONDS - step_started)) s")
fi

print_summary PASSED
echo "total: ${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped"
