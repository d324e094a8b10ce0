#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Moves the faked IMU of scripts/example-traces/imu.umockdev while a recording runs: the device
lies flat, is tilted by 60 degrees about its x axis and laid down again, over SECONDS seconds.
Writes the raw sysfs values (in IIO's convention, 1 g up on z when flat) into the umockdev
testbed that $UMOCKDEV_DIR names, each file replaced whole so that a reader never sees half a
value."""
import math
import os
import sys
import time

DEVICE = os.path.join(os.environ["UMOCKDEV_DIR"], "sys/devices/platform/pemdor-imu/iio:device0")
ACCEL_SCALE = 0.01  # m/s^2 per raw unit
ANGLVEL_SCALE = 0.001  # rad/s per raw unit
MAGN_SCALE = 0.01  # gauss per raw unit
FIELD = (0.20, -0.05, -0.40)  # gauss, device flat


def tilt(t, seconds):
    """The tilt about x in radians: flat for the first and last fifth, a smooth swing between."""
    u = min(max((t / seconds - 0.2) / 0.6, 0.0), 1.0)
    return math.radians(60) * math.sin(math.pi * u) ** 2


def put(name, value):
    path = os.path.join(DEVICE, name)
    with open(path + ".new", "w") as f:
        f.write("%d\n" % round(value))
    os.replace(path + ".new", path)


def main(seconds):
    start = time.monotonic()
    while (t := time.monotonic() - start) < seconds:
        th = tilt(t, seconds)
        rate = (tilt(t + 0.01, seconds) - tilt(t - 0.01, seconds)) / 0.02
        g = 9.80665
        put("in_accel_x_raw", (0.05 * math.sin(5 * t)) / ACCEL_SCALE)
        put("in_accel_y_raw", g * math.sin(th) / ACCEL_SCALE)
        put("in_accel_z_raw", g * math.cos(th) / ACCEL_SCALE)
        put("in_anglvel_x_raw", rate / ANGLVEL_SCALE)
        put("in_anglvel_y_raw", 0.004 * math.sin(3 * t) / ANGLVEL_SCALE)
        put("in_anglvel_z_raw", 2)
        put("in_magn_x_raw", FIELD[0] / MAGN_SCALE)
        put("in_magn_y_raw",
            (FIELD[1] * math.cos(th) - FIELD[2] * math.sin(th)) / MAGN_SCALE)
        put("in_magn_z_raw",
            (FIELD[1] * math.sin(th) + FIELD[2] * math.cos(th)) / MAGN_SCALE)
        time.sleep(0.02)


if __name__ == "__main__":
    main(float(sys.argv[1]))
