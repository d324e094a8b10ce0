#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compares the same runs done from C++, C and Python.

    PYTHONPATH=build/default/bindings/python /usr/bin/python3 bench/bindings_compare.py \
        build/default

Records a ten-minute trace in virtual time with the sample host, runs pemdor_bindings_bench
(C++ and C, Google Benchmark) on it, times the same runs from Python, and prints each run's CPU
time on the calling thread and the ratios to C++:
  sync      a virtual-time sync run over the trace (6,000 readings per stream): load the file,
            start, advance 601 s, read every record text, finish;
  callback  100 callback runs one after another on one virtual-time collector (each: start,
            advance 1.2 s, completion).
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import pemdor

REPEATS = 15


def thread_cpu(fn, repeats):
    """Median CPU seconds of the calling thread over repeats calls (after one warm-up)."""
    fn()
    times = []
    for _ in range(repeats):
        started = time.thread_time()
        fn()
        times.append(time.thread_time() - started)
    return statistics.median(times)


def python_sync(trace):
    platform = pemdor.Platform.simulated(trace, virtual_time=True)
    collector = pemdor.Collector(platform)
    collector.start_sensors(6000)
    platform.advance(601.0)
    data = collector.get_sensor_data()
    collector.finish_sensors()
    assert len(data["Gravity"]) == 6000, len(data["Gravity"])


def python_callbacks(drive):
    platform = pemdor.Platform.simulated(virtual_time=True)
    collector = pemdor.Collector(platform)
    results = []
    for _ in range(100):
        if drive == "advance":
            collector.process_sensors_with_callback(lambda *result: results.append(result))
            platform.advance(1.2)
        else:
            results.append(collector.process_sensors())
    assert len(results) == 100 and all(r[2] for r in results)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/default"
    with tempfile.TemporaryDirectory() as work:
        trace = os.path.join(work, "ten-minutes.json")
        subprocess.run(
            [f"{build}/tools/pemdor-sensors/pemdor-sensors", "record", "--motion", "sim",
             "--location", "sim", "--virtual-time", "--duration", "600", "--out", trace],
            check=True, stderr=subprocess.DEVNULL)
        native = subprocess.run(
            [f"{build}/bench/pemdor_bindings_bench", "--benchmark_format=json",
             f"--benchmark_repetitions={REPEATS}", "--benchmark_report_aggregates_only=true",
             "--benchmark_filter=SyncTenMinutes|CallbackRun_C|CallbackRunBatch_Cpp"],
            check=True, capture_output=True, text=True,
            env={**os.environ, "PEMDOR_BENCH_TRACE": trace}).stdout
        medians = {}
        for entry in json.loads(native)["benchmarks"]:
            if entry.get("aggregate_name") == "median":
                scale = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9}[entry["time_unit"]]
                medians[entry["run_name"]] = entry["cpu_time"] * scale
        rows = {
            "sync": (medians["BM_SyncTenMinutes_Cpp"], medians["BM_SyncTenMinutes_C"],
                     thread_cpu(lambda: python_sync(trace), REPEATS)),
            "callback": (medians["BM_CallbackRunBatch_Cpp"], medians["BM_CallbackRun_C"],
                         thread_cpu(lambda: python_callbacks("advance"), REPEATS)),
            "callback (process_sensors)": (
                medians["BM_CallbackRunBatch_Cpp"], medians["BM_CallbackRun_C"],
                thread_cpu(lambda: python_callbacks("process_sensors"), REPEATS)),
        }
    print(f"{'run':28} {'C++ ms':>8} {'C ms':>8} {'Python ms':>10} {'C/C++':>7} {'Py/C++':>7}")
    for name, (cpp, c, py) in rows.items():
        print(f"{name:28} {cpp * 1e3:8.2f} {c * 1e3:8.2f} {py * 1e3:10.2f} "
              f"{c / cpp:7.3f} {py / cpp:7.3f}")


if __name__ == "__main__":
    main()
