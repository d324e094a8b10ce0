#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the sample host pemdor-sensors (default preset) and runs it on the simulated device.
#
# Usage: scripts/run-sample.sh [ARGUMENTS...]
# Without arguments it runs "info", "snapshot --virtual-time" and "sync --virtual-time"; with
# arguments it runs the sample host once with exactly those.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh
# The build's output is shown only when it fails, so that the sample host's output stands out.
echo "run-sample: building pemdor-sensors in build/default"
build_log=$(mktemp)
if ! scripts/build.sh default pemdor-sensors >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"

host=build/default/tools/pemdor-sensors/pemdor-sensors
if [[ ! -x "$host" ]]; then
  echo "run-sample: $host was not built" >&2
  exit 1
fi

if (($# > 0)); then
  exec "$host" "$@"
fi

for command in "info" "snapshot --virtual-time" "sync --virtual-time"; do
  echo
  echo "\$ pemdor-sensors $command"
  # shellcheck disable=SC2086  # The command words are split on purpose.
  "$host" $command
done
