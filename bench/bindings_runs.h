/* SPDX-License-Identifier: MIT */
#ifndef PEMDOR_BENCH_BINDINGS_RUNS_H
#define PEMDOR_BENCH_BINDINGS_RUNS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A whole sync run in virtual time on the scenario file: load, start with `limit`, advance by
 * `seconds`, read the data as JSON, finish. Returns the length of the JSON text. */
size_t bindings_c_sync_run(const char* trace_path, int32_t limit, double seconds);
/* `runs` callback runs in virtual time on the built-in scenario, each followed by advancing
 * `seconds_per_run`. Returns how many completions had a JSON text. */
long bindings_c_callback_runs(long runs, double seconds_per_run);

#ifdef __cplusplus
}
#endif

#endif
