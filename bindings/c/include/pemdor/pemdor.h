/* SPDX-License-Identifier: MIT */
#ifndef PEMDOR_PEMDOR_H
#define PEMDOR_PEMDOR_H

/**
 * @file pemdor.h
 * @brief The C interface of pemdor: plain C99, usable from C and C++ hosts alike.
 *
 * The interface is stable: it uses only opaque handles, C strings and plain numbers. Every
 * string the interface returns is the caller's, to be released with pemdor_free().
 *
 * Threads: every call is thread-safe, with one exception: a virtual-time platform is driven
 * (pemdor_platform_advance()) from one thread at a time.
 *
 * Errors: a NULL handle, a NULL callback or another bad argument gives NULL, -1 or nothing,
 * never a crash. Nothing is printed.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// The library's version, "major.minor.patch" (for example "0.3.0"); a static string, not to be
/// freed.
const char* pemdor_version(void);

/// Releases a string returned by this interface. NULL is ignored.
void pemdor_free(void* p);

/// A platform: the dispatcher, clock, motion service and location service collectors use.
typedef struct pemdor_platform pemdor_platform;

/// A new handle on the process default platform (real time, the best providers found on this
/// machine); NULL when it cannot be made. Freeing the handle leaves the default platform in
/// place for other handles and collectors.
pemdor_platform* pemdor_platform_default(void);

/// The simulated device, on the built-in scenario (`scenario_path` NULL) or a scenario file, in
/// real time (`virtual_time` 0) or virtual time (non-zero). Returns NULL on a bad scenario, and
/// then, when `error` is not NULL, sets `*error` to the one-line message the sample host prints
/// for it (for example "s.json: no such file"), to be freed with pemdor_free(); on success
/// `*error` is set to NULL.
pemdor_platform* pemdor_platform_simulated(const char* scenario_path, int virtual_time,
                                           char** error);

/// Returns non-zero when `platform` runs in virtual time, 0 otherwise (also for NULL).
int pemdor_platform_is_virtual_time(const pemdor_platform* platform);

/// Virtual time only: runs what is due and moves the clock by `seconds`, delivering readings,
/// positions and completions on the calling thread. Returns 0 on success, -1 on a real-time
/// platform, a NULL platform, or a negative or non-finite amount.
int pemdor_platform_advance(pemdor_platform* platform, double seconds);

/// "motion: NAME, location: NAME", naming the platform's providers; NULL for a NULL platform.
char* pemdor_platform_describe(const pemdor_platform* platform);

/// Releases the handle. Collectors made on the platform keep working: each holds what it needs.
/// NULL is ignored.
void pemdor_platform_free(pemdor_platform* platform);

/// A collector: takes short samples of the motion sensors and one coarse position.
typedef struct pemdor_collector pemdor_collector;

/// A collector on `platform`, or on the process default platform when `platform` is NULL; NULL
/// when it cannot be made.
pemdor_collector* pemdor_collector_new(pemdor_platform* platform);

/// Releases the collector and ends its run, callback or sync. After this returns, the collector's
/// completion is never called again, so the host may release the completion's `user_data` right
/// after; when a completion is running on another thread, the call waits for it to return. Freeing
/// the collector from inside its own completion is allowed. NULL is ignored.
void pemdor_collector_free(pemdor_collector* collector);

/// "Sensors" followed by "Accelerometer", "Gyro" and "Magnetometer" for each one available now;
/// NULL for a NULL collector.
char* pemdor_collector_available_sensors(const pemdor_collector* collector);

/// 1 when the platform's location services are enabled, 0 when not or for a NULL collector.
int pemdor_collector_is_location_service_available(const pemdor_collector* collector);

/// The platform's wall clock in milliseconds since 1970, as decimal digits; NULL for a NULL
/// collector.
char* pemdor_collector_get_current_time(const pemdor_collector* collector);

/// The completion of a callback run: `latitude` and `longitude` as "%f" texts (or "" without a
/// position) and `json` the text of the readings, or NULL when it could not be made. Called
/// once per run, on a library thread (in virtual time: inside pemdor_platform_advance()); the
/// strings live until the call returns.
typedef void (*pemdor_completion_fn)(void* user_data, const char* latitude, const char* longitude,
                                     const char* json);

/// Starts a callback run: ten readings of each motion sensor and at most ten seconds' wait for
/// a position, then one call of `completion` with `user_data`. A NULL collector or completion
/// does nothing.
void pemdor_collector_process_sensors(pemdor_collector* collector, pemdor_completion_fn completion,
                                      void* user_data);

/// Starts a sync run that keeps up to `limit` timestamped readings per stream (a negative limit
/// counts as 0) and one position. A NULL collector does nothing.
void pemdor_collector_start_sensors(pemdor_collector* collector, int32_t limit);

/// The sync run's data as one compact JSON object: "la", "lo" and "Time" as strings and
/// "Accelerometer", "Gyroscope", "Magnetometer" and "Gravity" as arrays of strings, each present
/// exactly when the collector's dictionary holds it. NULL for a NULL collector.
char* pemdor_collector_get_sensor_data(pemdor_collector* collector);

/// Ends the sync run: stops the sensors and the location updates. A NULL collector does nothing.
void pemdor_collector_finish_sensors(pemdor_collector* collector);

/// The JSON wrapper's writing check: `json_object_text` is read, then written back as compact
/// JSON text. NULL where the wrapper gives absent (unreadable text, a top level that is neither
/// an object nor an array, nesting too deep) or for NULL.
char* pemdor_json_string_with_dictionary(const char* json_object_text);

/// The JSON wrapper's reading: the compact text of the value `text` holds, NULL where the
/// wrapper gives absent (text that is not strict JSON) or for NULL.
char* pemdor_json_parse_string(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* PEMDOR_PEMDOR_H */
