#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Records the example traces in scenarios/ again, and draws their pictures into docs/ (the
# README shows docs/recorded-iio-gpsd.png):
#
#  - recorded-sim-pickup.json: the simulated device playing scenarios/scripted-pickup.json (a
#    phone picked up and turned), recorded in virtual time, so the same on every run;
#  - recorded-iio-gpsd.json: the IIO provider reading a faked IMU (umockdev, scripts/
#    example-traces/imu.umockdev, moved by tilt.py) and a gpsd fed by gpsfake with
#    tests/gpsd/logs/fix.nmea, recorded in real time for 5 s.
#
# Usage: scripts/record-example-traces.sh [PEMDOR-SENSORS-BINARY]
# (default build/default/tools/pemdor-sensors/pemdor-sensors; build it first). Needs umockdev,
# gpsd, gpsd-clients and python3-gps, as scripts/install-deps.sh installs them.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
bin=$(realpath "${1:-build/default/tools/pemdor-sensors/pemdor-sensors}")
seconds=5

work=$(mktemp -d)
group=
cleanup() {
  if [[ -n $group ]]; then kill -KILL -- "-$group" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$bin" record --virtual-time --scenario scenarios/scripted-pickup.json --duration "$seconds" \
  --out scenarios/recorded-sim-pickup.json --plot docs/recorded-sim-pickup.svg --force
echo "recorded scenarios/recorded-sim-pickup.json"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# gpsfake now and then never hands its device to gpsd; such a recording has no position, and
# the whole thing is tried again.
for attempt in 1 2 3 4; do
  port=$(free_port)
  # gpsfake and its gpsd run in a process group of their own, removed at the end.
  TMPDIR=$work setsid /usr/bin/python3 /usr/bin/gpsfake -q -c 0.1 -P "$port" \
    tests/gpsd/logs/fix.nmea >"$work/gpsfake.log" 2>&1 &
  group=$!
  for _ in $(seq 40); do
    if "$bin" info --motion sim --location "gpsd=localhost:$port" >/dev/null 2>&1; then break; fi
    sleep 0.25
  done
  umockdev-run -d scripts/example-traces/imu.umockdev -- sh -c '
    python3 scripts/example-traces/tilt.py "$1" &
    "$2" record --motion iio --location "gpsd=localhost:$3" --duration "$1" \
      --out "$4" --plot "$5" --force
    wait' sh "$seconds" "$bin" "$port" "$work/iio.json" "$work/iio.svg"
  kill -KILL -- "-$group" 2>/dev/null || true
  wait "$group" 2>/dev/null || true
  group=
  if grep -q '"locations"' "$work/iio.json"; then
    mv "$work/iio.json" scenarios/recorded-iio-gpsd.json
    mv "$work/iio.svg" docs/recorded-iio-gpsd.svg
    rsvg-convert -w 800 -b white docs/recorded-iio-gpsd.svg -o docs/recorded-iio-gpsd.png
    echo "recorded scenarios/recorded-iio-gpsd.json"
    exit 0
  fi
  echo "no position in attempt $attempt; trying again" >&2
done
echo "gpsd gave no position in four attempts" >&2
exit 1
