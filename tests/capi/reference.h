/* SPDX-License-Identifier: MIT */
#ifndef PEMDOR_TESTS_CAPI_REFERENCE_H
#define PEMDOR_TESTS_CAPI_REFERENCE_H

/* The C++ collector's results, made on the C++ interface, for the C tests to compare with. Every
 * returned string is released with free(). */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The message loadSimScenarioFile gives for `path` ("" when the file is a good scenario). */
char* reference_scenario_error(const char* path);
/* A callback run in virtual time on the scenario file, the clock moved by `step` until the
 * completion or `max_seconds`: "latitude\nlongitude\njson-or-(null)\ncurrent-time". */
char* reference_callback_run(const char* path, double step, double max_seconds);
/* A sync run of `limit` in virtual time for `seconds`: the data as a compact JSON object. */
char* reference_sync_run(const char* path, int32_t limit, double seconds);

#ifdef __cplusplus
}
#endif

#endif
