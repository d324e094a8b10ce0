#!/usr/bin/env bash
# Builds the sample host pemdor-sensors (default preset) and runs it on the simulated device.
#
# Usage: scripts/run-sample.sh [ARGUMENTS...]
# Without arguments it runs "info", "snapshot --virtual-time" and "sync --virtual-time"; with
# arguments it runs the sample host once with exactly those.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh
scripts/build.sh default pemdor-sensors

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
