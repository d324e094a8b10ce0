// SPDX-License-Identifier: MIT
// The collector on the real dispatcher, with real threads: many collectors, overlapping runs,
// concurrent checks and reads while handlers append. Run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "collector_rig.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using namespace std::chrono_literals;
using testing::ManualMotionManager;

// Counts completions and checks every snapshot it receives.
struct Deliveries {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  std::vector<std::string> problems;

  PemdorDeviceSensorInfo::Completion completion() {
    return [this](const std::string& lat, const std::string& lon,
                  const std::optional<std::string>& json) {
      std::string problem = check(lat, lon, json);
      std::lock_guard guard(mutex);
      ++count;
      if (!problem.empty()) problems.push_back(problem);
      changed.notify_all();
    };
  }
  bool waitFor(int n, std::chrono::seconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return count >= n; });
  }
  int total() {
    std::lock_guard guard(mutex);
    return count;
  }

  static std::string check(const std::string& lat, const std::string& lon,
                           const std::optional<std::string>& json) {
    static const std::regex coordinate(R"(-?\d+\.\d{6})");
    static const std::regex two(R"(\[-?\d+\.\d{2}, -?\d+\.\d{2}, -?\d+\.\d{2}\])");
    static const std::regex four(R"(\[-?\d+\.\d{4}, -?\d+\.\d{4}, -?\d+\.\d{4}\])");
    if (!(lat.empty() && lon.empty()) &&
        !(std::regex_match(lat, coordinate) && std::regex_match(lon, coordinate))) {
      return "bad coordinates " + lat + " " + lon;
    }
    if (!json) return "no json";
    auto value = nlohmann::json::parse(*json, nullptr, false);
    if (!value.is_object() || value.size() != 3) return "bad json " + *json;
    for (const auto& [key, format] :
         {std::pair{"Acceleration", &two}, std::pair{"Gyroscope", &four},
          std::pair{"Magnetic", &four}}) {
      if (!value.contains(key) || !value[key].is_array() || value[key].empty() ||
          value[key].size() > 10) {
        return "bad list " + std::string(key) + " in " + *json;
      }
      for (const auto& entry : value[key]) {
        if (!entry.is_string()) return "not a string in " + *json;
        const auto text = entry.get<std::string>();
        if (!(text.empty() && value[key].size() == 1) && !std::regex_match(text, *format)) {
          return "bad entry " + text;
        }
      }
    }
    return "";
  }
};

struct RealRig {
  std::shared_ptr<RealDispatcher> dispatcher = RealDispatcher::create();
  std::shared_ptr<SimulatedDevice> device;
  explicit RealRig(const std::string& json = "{}")
      : device(SimulatedDevice::create(testing::scenario(json), dispatcher)) {}
  ~RealRig() { dispatcher->shutdown(); }
};

TEST(CollectorStress, ManyCollectorsBackToBack) {
  RealRig rig(R"({"location": {"events": [{"after": 0.2, "locations": [[12.5, -45.25]]}]}})");
  constexpr int kCollectors = 12;
  constexpr int kRuns = 2;
  Deliveries deliveries;
  std::vector<std::thread> hosts;
  for (int i = 0; i < kCollectors; ++i) {
    hosts.emplace_back([&] {
      auto collector = PemdorDeviceSensorInfo::init(rig.device->platform());
      for (int run = 0; run < kRuns; ++run) {
        auto mine = std::make_shared<Deliveries>();
        collector->processSensorsWithCallBack(
            [mine, &deliveries](const std::string& lat, const std::string& lon,
                                const std::optional<std::string>& json) {
              mine->completion()(lat, lon, json);
              deliveries.completion()(lat, lon, json);
            });
        EXPECT_TRUE(mine->waitFor(1, 20s));
      }
    });
  }
  for (auto& host : hosts) host.join();
  EXPECT_TRUE(deliveries.waitFor(kCollectors * kRuns, 5s));
  std::this_thread::sleep_for(50ms);  // room for a wrong second delivery to show
  EXPECT_EQ(deliveries.total(), kCollectors * kRuns);
  EXPECT_TRUE(deliveries.problems.empty()) << deliveries.problems.front();
}

TEST(CollectorStress, OverlappingRunsOnOneCollector) {
  RealRig rig(R"({"location": {"events": [{"after": 0.15, "locations": [[1.5, 2.5]]}]}})");
  auto collector = PemdorDeviceSensorInfo::init(rig.device->platform());
  Deliveries deliveries;
  std::atomic<int> started{0};
  std::vector<std::thread> hosts;
  for (int h = 0; h < 3; ++h) {
    hosts.emplace_back([&, h] {
      for (int run = 0; run < 4; ++run) {
        collector->processSensorsWithCallBack(deliveries.completion());
        ++started;
        if (run % 2 == 0) collector->startSensors(5 + h);
        (void)collector->getSensorData();
        std::this_thread::sleep_for(std::chrono::milliseconds(40 + 70 * h));
      }
    });
  }
  for (auto& host : hosts) host.join();
  // The last run started is left alone and completes.
  collector->processSensorsWithCallBack(deliveries.completion());
  ++started;
  EXPECT_TRUE(deliveries.waitFor(1, 20s));
  collector->finishSensors();
  std::this_thread::sleep_for(100ms);
  EXPECT_LE(deliveries.total(), started.load());
  EXPECT_TRUE(deliveries.problems.empty()) << deliveries.problems.front();
}

TEST(CollectorStress, ConcurrentChecksDeliverOnce) {
  RealRig rig;
  for (int round = 0; round < 20; ++round) {
    auto collector = PemdorDeviceSensorInfo::init(rig.device->platform());
    Deliveries deliveries;
    collector->setCompletion(deliveries.completion());
    collector->setAccelerometerFinished(true);
    collector->setGyroFinished(true);
    collector->setMagneticFinished(true);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        collector->setLocationServiceFinished(true);
        collector->checkAllRecords();
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    collector->checkAllRecords();
    ASSERT_TRUE(deliveries.waitFor(1, 5s));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(deliveries.total(), 1);
  }
}

TEST(CollectorStress, ReadingSyncDataWhileAllStreamsAppend) {
  RealRig rig(R"({"location": {"events": []}})");
  auto collector = PemdorDeviceSensorInfo::init(rig.device->platform());
  auto manual = std::make_shared<ManualMotionManager>();
  collector->setMotionManager(manual);
  constexpr int kPerStream = 5000;
  collector->startSensors(kPerStream);

  std::vector<std::thread> producers;
  for (MotionStream s : kAllMotionStreams) {
    producers.emplace_back([&, s] {
      for (int i = 0; i < kPerStream + 1; ++i) manual->deliver(s, 0, CMVector{0.1, 0.2, 0.3});
    });
  }
  std::size_t seen = 0;
  auto full = [&] {
    auto data = collector->getSensorData();
    std::size_t total = 0;
    for (const char* key : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
      auto it = data.find(key);
      if (it == data.end()) continue;
      const auto& list = std::get<PemdorRecordListRef>(it->second);
      for (const auto& record : list->snapshot()) seen += record.size();
      total += list->count();
    }
    return total == 4u * kPerStream;
  };
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!full() && std::chrono::steady_clock::now() < deadline) {
  }
  for (auto& p : producers) p.join();
  EXPECT_TRUE(full());
  EXPECT_GT(seen, 0u);
  collector->finishSensors();
  manual->forgetHandlers();
}

TEST(CollectorStress, HostDropsTheCollectorMidRun) {
  RealRig rig;
  Deliveries deliveries;
  for (int i = 0; i < 4; ++i) {
    auto collector = PemdorDeviceSensorInfo::init(rig.device->platform());
    collector->processSensorsWithCallBack(deliveries.completion());
    if (i % 2) collector->startSensors();
  }
  // The runs keep their collectors alive; the callback runs that were not superseded finish.
  EXPECT_TRUE(deliveries.waitFor(2, 20s));
  EXPECT_TRUE(deliveries.problems.empty());
}

}  // namespace
}  // namespace pemdor
