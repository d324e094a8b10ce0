# SPDX-License-Identifier: MIT
"""The GIL, callbacks on library threads, Ctrl-C, timeouts and memory over many collectors."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pemdor
from conftest import scenario, unraisable

# The gyroscope stalls after three readings: a callback run on it never ends.
STALLED = scenario("stalled-gyro.json")


def test_the_gil_is_released_while_waiting():
    collector = pemdor.Collector(pemdor.Platform.simulated())
    counted = 0
    stop = threading.Event()

    def count():
        nonlocal counted
        while not stop.is_set():
            counted += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        latitude, longitude, text = collector.process_sensors(timeout=60.0)
    finally:
        stop.set()
        counter.join()
    assert (latitude, longitude) == ("52.520008", "13.404954")
    assert text.startswith('{"Acceleration":[')
    # A real-time run takes about a second; the other thread ran all along.
    assert counted > 10_000


def test_callback_on_a_library_thread_and_its_exception():
    with unraisable() as seen_errors:
        check_callbacks(seen_errors)


def check_callbacks(unraisable):
    collector = pemdor.Collector(pemdor.Platform.simulated())
    done = threading.Event()
    seen = {}

    def fn(latitude, longitude, text):
        seen["thread"] = threading.get_ident()
        seen["result"] = (latitude, longitude, text is not None)
        done.set()
        raise ValueError("from the callback")

    collector.process_sensors_with_callback(fn)
    assert done.wait(60.0)
    # The exception reaches the hook once the callback has returned; the collector is still
    # usable afterwards.
    deadline = time.monotonic() + 60.0
    while not unraisable and time.monotonic() < deadline:
        time.sleep(0.01)
    assert seen["thread"] != threading.get_ident()
    assert seen["result"] == ("52.520008", "13.404954", True)
    assert [type(e) for e in unraisable] == [ValueError]
    assert collector.available_sensors().startswith("Sensors")

    # In virtual time the callback runs inside advance(), on this thread, and still does not
    # end the process.
    platform = pemdor.Platform.simulated(virtual_time=True)
    collector = pemdor.Collector(platform)
    collector.process_sensors_with_callback(lambda *_: 1 / 0)
    platform.advance(5.0)
    assert [type(e) for e in unraisable] == [ValueError, ZeroDivisionError]


def test_ctrl_c_interrupts_the_wait():
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                f"""
                import sys, time, pemdor
                collector = pemdor.Collector(pemdor.Platform.simulated({STALLED!r}))
                try:
                    # The signal may come as soon as this line is out; it is caught here too,
                    # though nearly always it finds the wait below.
                    print("waiting", flush=True)
                    collector.process_sensors(timeout=60.0)
                except KeyboardInterrupt:
                    print("interrupted", flush=True)
                    sys.exit(0)
                sys.exit(3)
                """
            ),
        ],
        stdout=subprocess.PIPE,
        text=True,
        env=os.environ,
    )
    try:
        assert child.stdout.readline() == "waiting\n"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline() == "interrupted\n"
        latency = time.monotonic() - sent
        assert child.wait(30) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    # The wait sees a signal within a tenth of a second; a loaded machine adds scheduling delay.
    assert latency < 5.0


def test_timeouts():
    collector = pemdor.Collector(pemdor.Platform.simulated(STALLED))
    with pytest.raises(TimeoutError):
        collector.process_sensors(timeout=0.3)
    # In virtual time the clock is driven up to the timeout; a run that never ends times out
    # at once in real time.
    collector = pemdor.Collector(pemdor.Platform.simulated(STALLED, virtual_time=True))
    started = time.monotonic()
    with pytest.raises(TimeoutError):
        collector.process_sensors(timeout=3600.0)
    assert time.monotonic() - started < 30.0


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_collectors_made_and_dropped_do_not_grow_memory():
    platform = pemdor.Platform.simulated(virtual_time=True)

    def rounds(count):
        for _ in range(count):
            collector = pemdor.Collector(platform)
            collector.start_sensors(20)
            platform.advance(0.5)
            collector.get_sensor_data()
            collector.process_sensors_with_callback(lambda *_: None)  # dropped mid-run
            del collector

    rounds(100)
    before = resident_kib()
    rounds(100)
    rounds(100)
    rounds(100)
    grown = resident_kib() - before
    # A collector left behind holds its record lists and a manager: 300 of them would show.
    assert grown < 1024, f"resident memory grew by {grown} KiB over 300 collectors"
