// SPDX-License-Identifier: MIT
// Random host scripts over random devices, in every order the shuffled virtual dispatcher picks,
// and the same scripts on the real dispatcher with many collectors at once.
//
// Each shuffle key fixes a device, a script and an interleaving. A failure names its key;
// PEMDOR_SHUFFLE_KEY=<key> replays just that one. PEMDOR_SHUFFLE_KEYS=<n> and
// PEMDOR_SHUFFLE_SECONDS=<s> run more keys for longer (defaults: 20000 keys, at most 4 s).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

using Random = std::mt19937_64;

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

double uniform(Random& random, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random);
}
int integer(Random& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}
bool chance(Random& random, double p) {
  return uniform(random, 0, 1) < p;
}

CMVector vector(Random& random) {
  return {uniform(random, -50, 50), uniform(random, -50, 50), uniform(random, -50, 50)};
}

// A device: sensors present or missing, scripted, stalled or still; any authorisation status;
// fixes, empty lists, failures and single-location updates at any time.
SimScenario randomScenario(Random& random) {
  SimScenario s;
  s.clockStart = uniform(random, 1.4e9, 1.8e9);
  for (auto& stream : s.streams) {
    stream.available = !chance(random, 0.2);
    if (chance(random, 0.5)) {
      std::vector<std::optional<CMVector>> readings;
      const int count = integer(random, 1, 14);
      for (int i = 0; i < count; ++i) {
        readings.push_back(chance(random, 0.1) ? std::nullopt : std::optional(vector(random)));
      }
      stream.readings = std::move(readings);
      stream.repeat = !chance(random, 0.3);  // sometimes a sensor that stalls
    }
  }
  s.servicesEnabled = !chance(random, 0.15);
  s.authorizationStatus = integer(random, 0, 4);
  if (chance(random, 0.8)) {
    std::vector<SimLocationEvent> events;
    const int count = integer(random, 0, 4);
    double after = 0;
    for (int i = 0; i < count; ++i) {
      SimLocationEvent e;
      after += uniform(random, 0, 6);
      e.after = after;
      switch (integer(random, 0, 3)) {
        case 0:
          e.kind = SimLocationEvent::Kind::fail;
          break;
        case 1:
          e.kind = SimLocationEvent::Kind::location;
          e.location = {uniform(random, -90, 90), uniform(random, -180, 180)};
          if (chance(random, 0.5)) e.from = CLLocationCoordinate2D{1, 2};
          break;
        default:
          e.kind = SimLocationEvent::Kind::locations;
          for (int n = integer(random, 0, 3); n > 0; --n) {
            e.locations.push_back({uniform(random, -90, 90), uniform(random, -180, 180)});
          }
      }
      events.push_back(std::move(e));
    }
    s.events = std::move(events);
  }
  return s;
}

const std::regex kSyncRecord(R"(-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6},\d+)");
const std::regex kTwoDecimals(R"(\[-?\d+\.\d{2}, -?\d+\.\d{2}, -?\d+\.\d{2}\])");
const std::regex kFourDecimals(R"(\[-?\d+\.\d{4}, -?\d+\.\d{4}, -?\d+\.\d{4}\])");
const std::regex kCoordinate(R"(-?\d+\.\d{6})");

// Checks one completion; returns what is wrong with it, or "".
std::string checkCompletion(const std::string& lat, const std::string& lon,
                            const std::optional<std::string>& json) {
  if (lat.empty() != lon.empty()) return "one coordinate without the other";
  if (!lat.empty() && !(std::regex_match(lat, kCoordinate) && std::regex_match(lon, kCoordinate))) {
    return "coordinates " + lat + ", " + lon;
  }
  if (!json) return "no snapshot";
  const auto value = nlohmann::json::parse(*json, nullptr, false);
  if (!value.is_object() || value.size() != 3) return "snapshot " + *json;
  for (const auto& [key, format] :
       {std::pair{"Acceleration", &kTwoDecimals}, std::pair{"Gyroscope", &kFourDecimals},
        std::pair{"Magnetic", &kFourDecimals}}) {
    const auto it = value.find(key);
    if (it == value.end() || !it->is_array() || it->empty() || it->size() > 10) {
      return std::string("snapshot list ") + key + " in " + *json;
    }
    if (it->size() == 1 && it->front() == "") continue;
    for (const auto& entry : *it) {
      if (!entry.is_string() || !std::regex_match(entry.get<std::string>(), *format)) {
        return std::string("snapshot entry in ") + key + ": " + entry.dump();
      }
    }
  }
  return "";
}

struct Outcome {
  std::mutex mutex;
  int callbackRuns = 0;
  int completions = 0;
  std::vector<std::string> problems;
  void problem(std::string text) {
    std::lock_guard guard(mutex);
    problems.push_back(std::move(text));
  }
};

// Checks the lists against the run that last started them.
struct ListBounds {
  enum class Kind { none, callback, sync } last = Kind::none;
  std::size_t syncLimit = 0;        // limit of the last sync run
  bool syncStartedGravity = false;  // whether a sync run has started device motion

  void check(PemdorDeviceSensorInfo& c, Outcome& outcome) const {
    const std::array lists = {c.accelerometerRecords(), c.gyroRecords(), c.magneticRecords()};
    for (std::size_t i = 0; i < lists.size(); ++i) {
      const auto entries = lists[i]->snapshot();
      const std::size_t bound = last == Kind::callback ? 10
                                : last == Kind::sync   ? std::max<std::size_t>(syncLimit, 0)
                                                       : 0;
      if (entries.size() > std::max<std::size_t>(bound, 1)) {
        outcome.problem("list " + std::to_string(i) + " holds " + std::to_string(entries.size()));
      }
      for (const auto& entry : entries) {
        const bool ok =
            entry.empty() ||
            (last == Kind::sync ? std::regex_match(entry, kSyncRecord)
                                : std::regex_match(entry, i == 0 ? kTwoDecimals : kFourDecimals));
        if (!ok) outcome.problem("entry " + entry);
      }
    }
    const auto gravity = c.gravityRecords()->snapshot();
    if (gravity.size() > syncLimit) {
      outcome.problem("gravity holds " + std::to_string(gravity.size()));
    }
    for (const auto& entry : gravity) {
      if (!std::regex_match(entry, kSyncRecord)) outcome.problem("gravity entry " + entry);
    }
  }
};

// One host script on one collector. `wait(seconds)` lets time pass (virtual or real).
template <typename Wait>
void runScript(Random& random, PemdorDeviceSensorInfo& collector, Outcome& outcome, Wait wait) {
  ListBounds bounds;
  const int steps = integer(random, 1, 12);
  for (int step = 0; step < steps; ++step) {
    switch (integer(random, 0, 6)) {
      case 0:
      case 1: {
        {
          std::lock_guard guard(outcome.mutex);
          ++outcome.callbackRuns;
        }
        collector.processSensorsWithCallBack([&outcome](const std::string& lat,
                                                        const std::string& lon,
                                                        const std::optional<std::string>& json) {
          const auto problem = checkCompletion(lat, lon, json);
          std::lock_guard guard(outcome.mutex);
          ++outcome.completions;
          if (!problem.empty()) outcome.problems.push_back(problem);
        });
        bounds.last = ListBounds::Kind::callback;
        break;
      }
      case 2: {
        const int limit = integer(random, -3, 14);
        collector.startSensors(limit);
        bounds.last = ListBounds::Kind::sync;
        bounds.syncLimit = static_cast<std::size_t>(std::max(limit, 0));
        break;
      }
      case 3: {
        auto data = collector.getSensorData();
        const bool hasLa = data.count("la") > 0;
        if (hasLa != (data.count("lo") > 0) || hasLa != (data.count("Time") > 0)) {
          outcome.problem("position keys incomplete");
        }
        for (const auto& [key, value] : data) {
          if (auto* list = std::get_if<PemdorRecordListRef>(&value)) (void)(*list)->snapshot();
        }
        break;
      }
      case 4:
        collector.finishSensors();
        break;
      case 5:
        collector.setCollectEnds(chance(random, 0.5));
        break;
      default:
        break;
    }
    wait(uniform(random, 0, 2.5));
    bounds.check(collector, outcome);
  }
}

TEST(Interleavings, RandomScriptsInShuffledVirtualTime) {
  const std::uint64_t only = envNumber("PEMDOR_SHUFFLE_KEY", UINT64_MAX);
  const std::uint64_t keys = only != UINT64_MAX ? 1 : envNumber("PEMDOR_SHUFFLE_KEYS", 20000);
  const auto budget = std::chrono::seconds(envNumber("PEMDOR_SHUFFLE_SECONDS", 4));
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t ran = 0;
  for (std::uint64_t i = 0; i < keys; ++i) {
    const std::uint64_t key = only != UINT64_MAX ? only : i;
    if (only == UINT64_MAX && std::chrono::steady_clock::now() - start > budget) break;
    SCOPED_TRACE("replay with PEMDOR_SHUFFLE_KEY=" + std::to_string(key));
    Random random(key);
    auto dispatcher = VirtualDispatcher::create();
    dispatcher->setShuffleKey(key);
    auto device = SimulatedDevice::create(randomScenario(random), dispatcher);
    auto collector = PemdorDeviceSensorInfo::init(device->platform());
    ASSERT_NE(collector, nullptr);
    Outcome outcome;
    runScript(random, *collector, outcome, [&](double seconds) {
      // Sometimes step through single tasks, so that host calls land between them.
      if (chance(random, 0.3)) {
        for (int n = integer(random, 0, 6); n > 0 && dispatcher->runOne();) --n;
      } else {
        dispatcher->advanceBy(seconds);
      }
    });

    // Once every run has finished or been finished, nothing is left running.
    collector->finishSensors();
    dispatcher->advanceBy(12.0);
    EXPECT_EQ(device->locationUpdatesRunning(), 0u);
    EXPECT_EQ(device->activeStreams(), 0u);
    EXPECT_LE(outcome.completions, outcome.callbackRuns);
    for (const auto& problem : outcome.problems) ADD_FAILURE() << problem;
    ++ran;
    if (HasFailure()) break;
  }
  std::printf("interleavings: %llu shuffle keys\n", static_cast<unsigned long long>(ran));
  EXPECT_GT(ran, 0u);
}

TEST(Interleavings, RandomScriptsOnTheRealDispatcher) {
  const auto budget = std::chrono::seconds(envNumber("PEMDOR_SHUFFLE_SECONDS", 4));
  auto dispatcher = RealDispatcher::create();
  constexpr int kHosts = 6;
  std::vector<std::thread> hosts;
  std::atomic<std::uint64_t> scripts{0};
  std::vector<std::unique_ptr<Outcome>> outcomes;
  for (int h = 0; h < kHosts; ++h) outcomes.push_back(std::make_unique<Outcome>());
  const auto end = std::chrono::steady_clock::now() + budget;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([&, h] {
      for (std::uint64_t n = 0; std::chrono::steady_clock::now() < end; ++n) {
        Random random(static_cast<std::uint64_t>(h) * 1000003 + n);
        auto device = SimulatedDevice::create(randomScenario(random), dispatcher);
        auto collector = PemdorDeviceSensorInfo::init(device->platform());
        // Real time runs a hundred times slower than the script's virtual seconds would.
        runScript(random, *collector, *outcomes[static_cast<std::size_t>(h)], [](double seconds) {
          std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 100));
        });
        collector->finishSensors();
        ++scripts;
      }
    });
  }
  for (auto& host : hosts) host.join();
  dispatcher->shutdown();
  for (const auto& outcome : outcomes) {
    EXPECT_LE(outcome->completions, outcome->callbackRuns);
    for (const auto& problem : outcome->problems) ADD_FAILURE() << problem;
  }
  std::printf("real dispatcher: %llu scripts on %d host threads\n",
              static_cast<unsigned long long>(scripts.load()), kHosts);
}

}  // namespace
}  // namespace pemdor
