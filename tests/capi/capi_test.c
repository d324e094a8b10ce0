/* SPDX-License-Identifier: MIT */
/* The C interface, from a plain C host. Each group is one ctest test: capi_test GROUP [FILE...].
 * Runs in virtual time are compared byte for byte with the C++ collector's (reference.cpp). */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pemdor/pemdor.h"
#include "reference.h"

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

/* Compares and frees `actual` (may be NULL); `expected` stays the caller's. */
static void check_text(const char* where, char* actual, const char* expected) {
  if (actual == NULL || strcmp(actual, expected) != 0) {
    fprintf(stderr, "%s: got\n  %s\nexpected\n  %s\n", where, actual ? actual : "(NULL)", expected);
    ++failures;
  }
  pemdor_free(actual);
}

/* ---- A completion that hands its result to a waiting thread. ---------------------------- */

typedef struct {
  pthread_mutex_t mutex;
  pthread_cond_t delivered;
  int calls;
  char result[1 << 14];
  pemdor_collector* free_me; /* freed from inside the completion when set */
} box;

static void box_init(box* b) {
  pthread_mutex_init(&b->mutex, NULL);
  pthread_cond_init(&b->delivered, NULL);
  b->calls = 0;
  b->result[0] = '\0';
  b->free_me = NULL;
}

static void box_destroy(box* b) {
  pthread_cond_destroy(&b->delivered);
  pthread_mutex_destroy(&b->mutex);
}

static void on_completion(void* user_data, const char* latitude, const char* longitude,
                          const char* json) {
  box* b = (box*)user_data;
  pemdor_collector* free_me;
  pthread_mutex_lock(&b->mutex);
  free_me = b->free_me;
  b->free_me = NULL;
  pthread_mutex_unlock(&b->mutex);
  /* The strings stay valid through the collector's release. */
  if (free_me) pemdor_collector_free(free_me);
  /* The last touch of the box: a waiter may destroy it once this section ends. */
  pthread_mutex_lock(&b->mutex);
  ++b->calls;
  snprintf(b->result, sizeof b->result, "%s\n%s\n%s", latitude, longitude, json ? json : "(null)");
  pthread_cond_broadcast(&b->delivered);
  pthread_mutex_unlock(&b->mutex);
}

static int box_calls(box* b) {
  int calls;
  pthread_mutex_lock(&b->mutex);
  calls = b->calls;
  pthread_mutex_unlock(&b->mutex);
  return calls;
}

/* Waits for a completion for at most `seconds` of real time; returns whether one came. */
static int box_wait(box* b, int seconds) {
  struct timespec until;
  int calls;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += seconds;
  pthread_mutex_lock(&b->mutex);
  while (b->calls == 0) {
    if (pthread_cond_timedwait(&b->delivered, &b->mutex, &until) == ETIMEDOUT) break;
  }
  calls = b->calls;
  pthread_mutex_unlock(&b->mutex);
  return calls > 0;
}

static void write_file(const char* path, const char* text) {
  FILE* f = fopen(path, "w");
  if (f == NULL) {
    perror(path);
    exit(2);
  }
  fputs(text, f);
  fclose(f);
}

/* ---- Groups. ------------------------------------------------------------------------------ */

static void test_basics(void) {
  char* error = NULL;
  pemdor_platform* platform;
  pemdor_collector* collector;

  CHECK(strcmp(pemdor_version(), PEMDOR_EXPECTED_VERSION) == 0);

  /* NULL arguments: NULL, -1, 0 or nothing. */
  pemdor_free(NULL);
  pemdor_platform_free(NULL);
  pemdor_collector_free(NULL);
  CHECK(pemdor_platform_advance(NULL, 1.0) == -1);
  CHECK(pemdor_platform_describe(NULL) == NULL);
  CHECK(pemdor_platform_is_virtual_time(NULL) == 0);
  CHECK(pemdor_collector_available_sensors(NULL) == NULL);
  CHECK(pemdor_collector_is_location_service_available(NULL) == 0);
  CHECK(pemdor_collector_get_current_time(NULL) == NULL);
  CHECK(pemdor_collector_get_sensor_data(NULL) == NULL);
  pemdor_collector_process_sensors(NULL, on_completion, NULL);
  pemdor_collector_start_sensors(NULL, 5);
  pemdor_collector_finish_sensors(NULL);
  CHECK(pemdor_json_string_with_dictionary(NULL) == NULL);
  CHECK(pemdor_json_parse_string(NULL) == NULL);

  /* The default platform, through a handle and through a NULL platform; freeing the handle
   * leaves it to the collector. */
  platform = pemdor_platform_default();
  CHECK(platform != NULL);
  if (platform != NULL) {
    char *description = pemdor_platform_describe(platform);
    CHECK(description != NULL && strncmp(description, "motion: ", 8) == 0);
    pemdor_free(description);
    CHECK(pemdor_platform_advance(platform, 1.0) == -1);
  }
  collector = pemdor_collector_new(NULL);
  pemdor_platform_free(platform);
  CHECK(collector != NULL);
  if (collector != NULL) {
    char *sensors = pemdor_collector_available_sensors(collector);
    CHECK(sensors != NULL && strncmp(sensors, "Sensors", 7) == 0);
    pemdor_free(sensors);
  }
  pemdor_collector_free(collector);

  /* The built-in scenario, in real time: advancing is refused. */
  platform = pemdor_platform_simulated(NULL, 0, &error);
  CHECK(platform != NULL);
  CHECK(error == NULL);
  CHECK(pemdor_platform_is_virtual_time(platform) == 0);
  CHECK(pemdor_platform_advance(platform, 1.0) == -1);
  check_text("describe", pemdor_platform_describe(platform),
             "motion: simulated, location: simulated");
  collector = pemdor_collector_new(platform);
  CHECK(collector != NULL);
  check_text("sensors", pemdor_collector_available_sensors(collector),
             "SensorsAccelerometerGyroMagnetometer");
  CHECK(pemdor_collector_is_location_service_available(collector) == 1);
  pemdor_collector_process_sensors(collector, NULL, NULL); /* a NULL callback: nothing */
  pemdor_collector_free(collector);
  pemdor_platform_free(platform);

  /* Virtual time refuses negative and non-finite amounts. */
  platform = pemdor_platform_simulated(NULL, 1, NULL);
  CHECK(pemdor_platform_is_virtual_time(platform) == 1);
  CHECK(pemdor_platform_advance(platform, -1.0) == -1);
  CHECK(pemdor_platform_advance(platform, NAN) == -1);
  CHECK(pemdor_platform_advance(platform, INFINITY) == -1);
  CHECK(pemdor_platform_advance(platform, 0.0) == 0);
  CHECK(pemdor_platform_advance(platform, 0.25) == 0);
  pemdor_platform_free(platform);

  /* The JSON wrapper's checks. */
  check_text("write", pemdor_json_string_with_dictionary("{\"b\": 1, \"a\": [true, null]}"),
             "{\"a\":[true,null],\"b\":1}");
  CHECK(pemdor_json_string_with_dictionary("42") == NULL);      /* not a container */
  CHECK(pemdor_json_string_with_dictionary("{\"a\":") == NULL); /* not JSON */
  check_text("parse", pemdor_json_parse_string(" [1, \"x\"] "), "[1,\"x\"]");
  check_text("parse scalar", pemdor_json_parse_string("\"\\u00e9\""), "\"\xc3\xa9\"");
  CHECK(pemdor_json_parse_string("[1,]") == NULL);
  CHECK(pemdor_json_parse_string("{} x") == NULL);
}

static void test_bad_scenarios(const char* work_dir) {
  char paths[5][512];
  const char* texts[3] = {"", "{\"location\": {\"colour\": 1}}", "{\"motion\": [1,\n 2"};
  int i;
  snprintf(paths[0], sizeof paths[0], "%s/empty.json", work_dir);
  snprintf(paths[1], sizeof paths[1], "%s/unknown-key.json", work_dir);
  snprintf(paths[2], sizeof paths[2], "%s/truncated.json", work_dir);
  snprintf(paths[3], sizeof paths[3], "%s/missing.json", work_dir);
  snprintf(paths[4], sizeof paths[4], "%s", work_dir); /* a directory */
  for (i = 0; i < 3; ++i) write_file(paths[i], texts[i]);
  remove(paths[3]);
  for (i = 0; i < 5; ++i) {
    char* error = NULL;
    char* expected = reference_scenario_error(paths[i]);
    pemdor_platform* platform = pemdor_platform_simulated(paths[i], i % 2, &error);
    CHECK(platform == NULL);
    CHECK(expected[0] != '\0' && strchr(expected, '\n') == NULL);
    check_text(paths[i], error, expected);
    free(expected);
    /* Without a place for the message the answer is the same NULL. */
    CHECK(pemdor_platform_simulated(paths[i], 0, NULL) == NULL);
  }
}

/* Both runs in virtual time on each scenario, against the C++ collector's. */
static void test_virtual_runs(int count, char** paths) {
  int i;
  int completed = 0;
  int with_readings = 0;
  for (i = 0; i < count; ++i) {
    char* error = NULL;
    char where[600];
    char actual[1 << 15];
    char* expected;
    char* time_text;
    box b;
    double t;
    pemdor_platform* platform = pemdor_platform_simulated(paths[i], 1, &error);
    pemdor_collector* collector;
    CHECK(platform != NULL);
    if (platform == NULL) {
      fprintf(stderr, "%s: %s\n", paths[i], error ? error : "(NULL)");
      pemdor_free(error);
      continue;
    }

    /* The callback run, driven in steps of 0.1 s. */
    collector = pemdor_collector_new(platform);
    box_init(&b);
    pemdor_collector_process_sensors(collector, on_completion, &b);
    for (t = 0.0; box_calls(&b) == 0 && t < 15.0; t += 0.1) pemdor_platform_advance(platform, 0.1);
    time_text = pemdor_collector_get_current_time(collector);
    snprintf(actual, sizeof actual, "%s\n%s", b.calls ? b.result : "no completion", time_text);
    pemdor_free(time_text);
    expected = reference_callback_run(paths[i], 0.1, 15.0);
    snprintf(where, sizeof where, "callback run on %s", paths[i]);
    check_text(where, strcpy(malloc(strlen(actual) + 1), actual), expected);
    free(expected);
    CHECK(b.calls <= 1);
    completed += b.calls;
    pemdor_collector_free(collector);
    box_destroy(&b);
    pemdor_platform_free(platform);

    /* The sync run, on a new platform so that both start from the scenario's clock. */
    platform = pemdor_platform_simulated(paths[i], 1, NULL);
    collector = pemdor_collector_new(platform);
    pemdor_collector_start_sensors(collector, 25);
    pemdor_platform_advance(platform, 12.5);
    expected = reference_sync_run(paths[i], 25, 12.5);
    snprintf(where, sizeof where, "sync run on %s", paths[i]);
    if (strstr(expected, "\"Accelerometer\":[\"") != NULL) ++with_readings;
    check_text(where, pemdor_collector_get_sensor_data(collector), expected);
    free(expected);
    pemdor_collector_finish_sensors(collector);
    pemdor_collector_free(collector);
    pemdor_platform_free(platform);
  }
  /* The comparison means something only where runs give results. */
  CHECK(count == 0 || (completed > count / 2 && with_readings > count / 2));
}

static void test_realtime_callback(void) {
  box b;
  pemdor_platform* platform = pemdor_platform_simulated(NULL, 0, NULL);
  pemdor_collector* collector = pemdor_collector_new(platform);
  box_init(&b);
  pemdor_collector_process_sensors(collector, on_completion, &b);
  CHECK(box_wait(&b, 60));
  pthread_mutex_lock(&b.mutex);
  CHECK(strncmp(b.result, "52.520008\n13.404954\n{", 21) == 0);
  pthread_mutex_unlock(&b.mutex);
  pemdor_collector_free(collector);
  CHECK(b.calls == 1);
  box_destroy(&b);
  pemdor_platform_free(platform);
}

static void test_freeing(void) {
  pemdor_platform* platform;
  pemdor_collector* collector;
  pemdor_collector* witness;
  box* dropped;
  box b;
  box w;

  /* Virtual time: freed mid-run, the completion never comes, and its user_data may go at once. */
  platform = pemdor_platform_simulated(NULL, 1, NULL);
  collector = pemdor_collector_new(platform);
  dropped = (box*)malloc(sizeof *dropped);
  box_init(dropped);
  pemdor_collector_process_sensors(collector, on_completion, dropped);
  pemdor_platform_advance(platform, 0.55);
  pemdor_collector_free(collector);
  box_destroy(dropped);
  free(dropped);
  CHECK(pemdor_platform_advance(platform, 15.0) == 0); /* ASan: nothing touches it */

  /* Virtual time: freed from inside its own completion. */
  collector = pemdor_collector_new(platform);
  box_init(&b);
  b.free_me = collector;
  pemdor_collector_process_sensors(collector, on_completion, &b);
  pemdor_platform_advance(platform, 15.0);
  CHECK(b.calls == 1 && b.free_me == NULL);
  box_destroy(&b);

  /* The platform freed before its collector: the collector keeps working. */
  collector = pemdor_collector_new(platform);
  pemdor_collector_start_sensors(collector, 3);
  pemdor_platform_free(platform);
  /* Nothing was delivered yet: no time has passed since the start. */
  check_text("data after the platform", pemdor_collector_get_sensor_data(collector), "{}");
  check_text("sensors after the platform", pemdor_collector_available_sensors(collector),
             "SensorsAccelerometerGyroMagnetometer");
  pemdor_collector_free(collector);

  /* Real time, the same three. A witness run started with the dropped one tells when the
   * dropped one's completion would have come. */
  platform = pemdor_platform_simulated(NULL, 0, NULL);
  collector = pemdor_collector_new(platform);
  witness = pemdor_collector_new(platform);
  dropped = (box*)malloc(sizeof *dropped);
  box_init(dropped);
  box_init(&w);
  pemdor_collector_process_sensors(collector, on_completion, dropped);
  pemdor_collector_process_sensors(witness, on_completion, &w);
  pemdor_collector_free(collector);
  box_destroy(dropped);
  free(dropped);
  CHECK(box_wait(&w, 60));
  pemdor_collector_free(witness);
  box_destroy(&w);

  collector = pemdor_collector_new(platform);
  box_init(&b);
  pthread_mutex_lock(&b.mutex);
  b.free_me = collector;
  pthread_mutex_unlock(&b.mutex);
  pemdor_collector_process_sensors(collector, on_completion, &b);
  pemdor_platform_free(platform); /* and the platform goes first */
  CHECK(box_wait(&b, 60));
  box_destroy(&b);
}

/* ---- Many collectors on many threads. -------------------------------------------------- */

typedef struct {
  pemdor_platform* shared;
  int ok;
} worker_args;

static void* worker(void* p) {
  worker_args* args = (worker_args*)p;
  int round;
  args->ok = 1;
  for (round = 0; round < 3; ++round) {
    /* A callback run on the shared real-time platform. */
    box b;
    pemdor_collector* collector = pemdor_collector_new(args->shared);
    char* text;
    pemdor_platform* own;
    box_init(&b);
    pemdor_collector_process_sensors(collector, on_completion, &b);
    text = pemdor_collector_get_current_time(collector);
    if (text == NULL || strlen(text) < 13) args->ok = 0;
    pemdor_free(text);
    if (!box_wait(&b, 60)) args->ok = 0;
    pemdor_collector_free(collector);
    box_destroy(&b);

    /* A sync run on a virtual platform of this thread's own. */
    own = pemdor_platform_simulated(NULL, 1, NULL);
    collector = pemdor_collector_new(own);
    pemdor_collector_start_sensors(collector, 5);
    pemdor_platform_advance(own, 1.0);
    text = pemdor_collector_get_sensor_data(collector);
    if (text == NULL || strstr(text, "\"la\":\"52.520008\"") == NULL) args->ok = 0;
    pemdor_free(text);
    pemdor_collector_free(collector);
    pemdor_platform_free(own);
  }
  return NULL;
}

static void test_threads(void) {
  enum { kThreads = 8 };
  pthread_t threads[kThreads];
  worker_args args[kThreads];
  int i;
  pemdor_platform* shared = pemdor_platform_simulated(NULL, 0, NULL);
  for (i = 0; i < kThreads; ++i) {
    args[i].shared = shared;
    CHECK(pthread_create(&threads[i], NULL, worker, &args[i]) == 0);
  }
  for (i = 0; i < kThreads; ++i) {
    pthread_join(threads[i], NULL);
    CHECK(args[i].ok);
  }
  pemdor_platform_free(shared);
}

int main(int argc, char** argv) {
  const char* group = argc > 1 ? argv[1] : "";
  if (strcmp(group, "basics") == 0) {
    test_basics();
  } else if (strcmp(group, "bad_scenarios") == 0 && argc == 3) {
    test_bad_scenarios(argv[2]);
  } else if (strcmp(group, "virtual_runs") == 0) {
    test_virtual_runs(argc - 2, argv + 2);
  } else if (strcmp(group, "realtime") == 0) {
    test_realtime_callback();
  } else if (strcmp(group, "freeing") == 0) {
    test_freeing();
  } else if (strcmp(group, "threads") == 0) {
    test_threads();
  } else {
    fprintf(stderr,
            "usage: capi_test basics|bad_scenarios DIR|virtual_runs FILE...|realtime|"
            "freeing|threads\n");
    return 2;
  }
  if (failures > 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures > 0 ? 1 : 0;
}
