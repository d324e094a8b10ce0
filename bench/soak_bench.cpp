// SPDX-License-Identifier: MIT
// A soak in virtual time on the simulated device: many runs alternating callback and sync on
// one collector, then many collectors made and dropped with one run each. Every output is
// checked exact against what the scenario makes, and the process must end the soak as it began:
// resident memory after the first 100 runs grows by at most 256 KiB, and open descriptors and
// threads return to their count from before the soak. Prints its figures; exits 1 on any miss.
//
// Usage: pemdor_soak_bench [RUNS COLLECTORS]   (default 10000 runs and 1000 collectors)
// Under AddressSanitizer or ThreadSanitizer the memory bound is reported but not held: their
// allocators keep freed memory in quarantine.

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PEMDOR_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PEMDOR_SOAK_SANITIZED 1
#endif
#endif
#ifndef PEMDOR_SOAK_SANITIZED
#define PEMDOR_SOAK_SANITIZED 0
#endif

namespace pemdor {
namespace {

// Constant readings and one fix half a second into each run, on a clock that starts at a whole
// second, so that every output of every run is known to the character.
constexpr const char* kScenario = R"({
  "clock": {"start": 1449000000.0},
  "motion": {
    "accelerometer": {"readings": [[0.01, -0.02, -0.98]]},
    "gyroscope": {"readings": [[0.001, 0.002, 0.003]]},
    "magnetometer": {"readings": [[10.5, -20.25, 30]]}
  },
  "location": {"events": [{"after": 0.5, "locations": [[12.5, -45.25]]}]}
})";

constexpr double kRunSeconds = 1.5;  // longer than a run: ten readings at 0.1 s, then the end
constexpr std::size_t kWarmUpRuns = 100;
constexpr long kMaxGrowthKiB = 256;

struct Figures {
  long failures = 0;
  std::string firstFailure;
  void fail(std::string what) {
    if (failures++ == 0) firstFailure = std::move(what);
  }
};

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long openDescriptors() {
  long count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count - 1;  // the descriptor of the listing itself
}

long threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Threads:")) return std::atol(line.c_str() + 8);
  }
  return -1;
}

std::string repeated(const std::string& entry, int count) {
  std::string list;
  for (int i = 0; i < count; ++i) {
    if (i > 0) list += ',';
    list += '"' + entry + '"';
  }
  return '[' + list + ']';
}

// The snapshot of a callback run, the same in every run.
const std::string kCallbackJson = R"({"Acceleration":)" + repeated("[0.01, -0.02, -0.98]", 10) +
                                  R"(,"Gyroscope":)" + repeated("[0.0010, 0.0020, 0.0030]", 10) +
                                  R"(,"Magnetic":)" + repeated("[10.5000, -20.2500, 30.0000]", 10) +
                                  "}";

std::string stamp(long long milliseconds) {
  return std::to_string(milliseconds);
}

/// One callback run from now: one completion, with the fix and the snapshot exact.
void callbackRun(VirtualDispatcher& dispatcher, PemdorDeviceSensorInfo& collector,
                 Figures& figures) {
  int calls = 0;
  std::string latitude;
  std::string longitude;
  std::optional<std::string> json;
  collector.processSensorsWithCallBack(
      [&](const std::string& la, const std::string& lo, const std::optional<std::string>& j) {
        ++calls;
        latitude = la;
        longitude = lo;
        json = j;
      });
  dispatcher.advanceBy(kRunSeconds);
  if (calls != 1)
    return figures.fail("a callback run completed " + std::to_string(calls) + " times");
  if (latitude != "12.500000" || longitude != "-45.250000") {
    return figures.fail("a callback run reported " + latitude + ", " + longitude);
  }
  if (json != kCallbackJson) {
    return figures.fail("a callback run's snapshot was " + json.value_or("nullopt"));
  }
}

const PemdorRecordListRef* listAt(const PemdorSensorData& data, const char* key) {
  const auto it = data.find(key);
  return it == data.end() ? nullptr : std::get_if<PemdorRecordListRef>(&it->second);
}

const std::string* textAt(const PemdorSensorData& data, const char* key) {
  const auto it = data.find(key);
  return it == data.end() ? nullptr : std::get_if<std::string>(&it->second);
}

/// One sync run from now with the default limit: ten records a stream, each stamped 0.1 s after
/// the one before, and the fix with its time, all exact; gravity is checked against the first
/// sync run's, because its filter's values are not the scenario's own.
void syncRun(VirtualDispatcher& dispatcher, PemdorDeviceSensorInfo& collector,
             std::vector<std::string>& gravity, Figures& figures) {
  const long long start = std::atoll(collector.getCurrentTime().c_str());
  collector.startSensors();
  dispatcher.advanceBy(kRunSeconds);
  const auto data = collector.getSensorData();
  collector.finishSensors();
  const std::string* la = textAt(data, "la");
  const std::string* lo = textAt(data, "lo");
  const std::string* time = textAt(data, "Time");
  if (data.size() != 7 || la == nullptr || lo == nullptr || time == nullptr || *la != "12.500000" ||
      *lo != "-45.250000" || *time != stamp(start + 500)) {
    return figures.fail("a sync run's position was wrong (" + std::to_string(data.size()) +
                        " entries; Time " + (time ? *time : "absent") + ", run started at " +
                        stamp(start) + ")");
  }
  const std::pair<const char*, const char*> streams[] = {
      {"Accelerometer", "0.010000,-0.020000,-0.980000,"},
      {"Gyroscope", "0.001000,0.002000,0.003000,"},
      {"Magnetometer", "10.500000,-20.250000,30.000000,"}};
  for (const auto& [key, values] : streams) {
    const auto* list = listAt(data, key);
    if (list == nullptr || *list == nullptr) return figures.fail(std::string("no ") + key);
    const auto records = (*list)->snapshot();
    if (records.size() != 10) return figures.fail(std::string("a sync run's ") + key + " count");
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::string expected = values + stamp(start + 100 * static_cast<long long>(i + 1));
      if (records[i] != expected) {
        return figures.fail(std::string(key) + " record " + records[i] + ", expected " + expected);
      }
    }
  }
  const auto* list = listAt(data, "Gravity");
  if (list == nullptr || *list == nullptr) return figures.fail("no Gravity");
  // The same values in every run, stamped like the other streams: the stamps are taken off and
  // compared with the run's own start.
  std::vector<std::string> values;
  for (const auto& record : (*list)->snapshot()) {
    const auto comma = record.rfind(',');
    long long at = 0;
    std::from_chars(record.data() + comma + 1, record.data() + record.size(), at);
    values.push_back(record.substr(0, comma + 1) + stamp(at - start));
  }
  if (values.size() != 10) return figures.fail("a sync run's Gravity count");
  if (gravity.empty()) gravity = values;
  if (values != gravity) return figures.fail("a sync run's Gravity differs: " + values[0]);
}

struct Soak {
  std::shared_ptr<VirtualDispatcher> dispatcher = VirtualDispatcher::create();
  std::shared_ptr<SimulatedDevice> device;
  std::vector<std::string> gravity;

  Soak() {
    auto parsed = parseSimScenario(kScenario, "soak scenario");
    if (!parsed.scenario) {
      std::fprintf(stderr, "soak: %s\n", parsed.error.c_str());
      std::exit(2);
    }
    device = SimulatedDevice::create(*parsed.scenario, dispatcher);
  }
};

int soak(long runs, long collectors) {
  const long fdsBefore = openDescriptors();
  const long threadsBefore = threads();
  const long rssStart = residentKiB();
  Figures figures;
  long rssAfterWarmUp = 0;
  const auto started = std::chrono::steady_clock::now();
  {
    Soak soak;
    {
      auto collector = PemdorDeviceSensorInfo::init(soak.device->platform());
      for (long run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
          callbackRun(*soak.dispatcher, *collector, figures);
        } else {
          syncRun(*soak.dispatcher, *collector, soak.gravity, figures);
        }
        if (run + 1 == static_cast<long>(kWarmUpRuns)) rssAfterWarmUp = residentKiB();
      }
    }
    if (rssAfterWarmUp == 0) rssAfterWarmUp = residentKiB();
    for (long made = 0; made < collectors; ++made) {
      auto collector = PemdorDeviceSensorInfo::init(soak.device->platform());
      if (made % 2 == 0) {
        callbackRun(*soak.dispatcher, *collector, figures);
      } else {
        syncRun(*soak.dispatcher, *collector, soak.gravity, figures);
      }
    }
    soak.dispatcher->advanceBy(PemdorDeviceSensorInfo::kLocationTimeout + 1.0);
    if (soak.device->activeStreams() != 0 || soak.device->locationUpdatesRunning() != 0) {
      figures.fail("streams or location updates still running after the soak");
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long rssEnd = residentKiB();
  const long fdsAfter = openDescriptors();
  const long threadsAfter = threads();
  const long growth = rssEnd - rssAfterWarmUp;

  std::printf(
      "soak: %ld runs alternating callback and sync on one collector, %ld collectors "
      "made and dropped with one run each, %.1f s\n",
      runs, collectors, seconds);
  std::printf("soak: outputs checked: %ld runs, %ld wrong%s%s\n", runs + collectors,
              figures.failures, figures.failures ? "; first: " : "", figures.firstFailure.c_str());
  std::printf(
      "soak: resident memory: %ld KiB at the start, %ld KiB after %zu runs, %ld KiB at "
      "the end: %+ld KiB (bound %ld KiB%s)\n",
      rssStart, rssAfterWarmUp, kWarmUpRuns, rssEnd, growth, kMaxGrowthKiB,
      PEMDOR_SOAK_SANITIZED ? ", not held under a sanitizer" : "");
  std::printf("soak: open descriptors %ld before, %ld after; threads %ld before, %ld after\n",
              fdsBefore, fdsAfter, threadsBefore, threadsAfter);
  bool ok = figures.failures == 0 && fdsAfter == fdsBefore && threadsAfter == threadsBefore;
  if (!PEMDOR_SOAK_SANITIZED && growth > kMaxGrowthKiB) ok = false;
  std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}

long argument(const char* text) {
  long value = 0;
  const std::string_view view(text);
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (error != std::errc() || end != view.data() + view.size() || value < 0) {
    std::fprintf(stderr, "usage: pemdor_soak_bench [RUNS COLLECTORS]\n");
    std::exit(2);
  }
  return value;
}

}  // namespace
}  // namespace pemdor

int main(int argc, char** argv) {
  if (argc != 1 && argc != 3) {
    std::fprintf(stderr, "usage: pemdor_soak_bench [RUNS COLLECTORS]\n");
    return 2;
  }
  const long runs = argc == 3 ? pemdor::argument(argv[1]) : 10'000;
  const long collectors = argc == 3 ? pemdor::argument(argv[2]) : 1'000;
  return pemdor::soak(runs, collectors);
}
