/* SPDX-License-Identifier: MIT */
/* The runs of bindings_bench.cpp done by a C host through pemdor/pemdor.h. */

#include "bindings_runs.h"

#include <stddef.h>

#include "pemdor/pemdor.h"

size_t bindings_c_sync_run(const char* trace_path, int32_t limit, double seconds) {
  size_t length = 0;
  char* data;
  pemdor_platform* platform = pemdor_platform_simulated(trace_path, 1, NULL);
  pemdor_collector* collector = pemdor_collector_new(platform);
  if (collector == NULL) {
    pemdor_platform_free(platform);
    return 0;
  }
  pemdor_collector_start_sensors(collector, limit);
  pemdor_platform_advance(platform, seconds);
  data = pemdor_collector_get_sensor_data(collector);
  if (data != NULL) {
    while (data[length] != '\0') ++length;
  }
  pemdor_free(data);
  pemdor_collector_finish_sensors(collector);
  pemdor_collector_free(collector);
  pemdor_platform_free(platform);
  return length;
}

static void count_completion(void* user_data, const char* latitude, const char* longitude,
                             const char* json) {
  (void)latitude;
  (void)longitude;
  if (json != NULL) ++*(long*)user_data;
}

long bindings_c_callback_runs(long runs, double seconds_per_run) {
  long completions = 0;
  long i;
  pemdor_platform* platform = pemdor_platform_simulated(NULL, 1, NULL);
  pemdor_collector* collector = pemdor_collector_new(platform);
  for (i = 0; i < runs; ++i) {
    pemdor_collector_process_sensors(collector, count_completion, &completions);
    pemdor_platform_advance(platform, seconds_per_run);
  }
  pemdor_collector_free(collector);
  pemdor_platform_free(platform);
  return completions;
}
