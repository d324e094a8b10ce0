// SPDX-License-Identifier: MIT
#include <array>
#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

constexpr double kStart = 100.0;

struct Delivery {
  double at;
  std::optional<CMVector> reading;
};

class SimDevice : public ::testing::Test {
 protected:
  std::shared_ptr<SimulatedDevice> make(const std::string& json) {
    auto parsed = parseSimScenario(json);
    EXPECT_TRUE(parsed) << parsed.error;
    return SimulatedDevice::create(parsed ? *parsed.scenario : SimScenario{}, vd);
  }

  std::shared_ptr<OperationQueue> serialQueue() {
    auto q = vd->makeOperationQueue("handlers");
    q->setMaxConcurrentOperationCount(1);
    return q;
  }

  CMMotionManager::VectorHandler recorder(std::vector<Delivery>& out) {
    return [&out, d = vd.get()](const CMVector* v, const NSError*) {
      out.push_back({d->monotonicNow(), v ? std::optional(*v) : std::nullopt});
    };
  }

  static void expectTimes(const std::vector<Delivery>& ds, const std::vector<double>& expected) {
    ASSERT_EQ(ds.size(), expected.size());
    for (std::size_t i = 0; i < ds.size(); ++i) EXPECT_DOUBLE_EQ(ds[i].at, expected[i]) << i;
  }

  std::shared_ptr<VirtualDispatcher> vd = VirtualDispatcher::create(kStart);
};

TEST_F(SimDevice, DeliversOneIntervalAfterTheStartAndThenEveryInterval) {
  auto device = make("{}");
  auto manager = device->platform()->makeMotionManager();
  EXPECT_EQ(manager->accelerometerUpdateInterval(), CMMotionManager::kDefaultUpdateInterval);

  std::vector<double> accel;
  manager->setAccelerometerUpdateInterval(0.1);
  manager->startAccelerometerUpdatesToQueue(
      serialQueue(), [&](const CMAccelerometerData* data, const NSError* error) {
        EXPECT_NE(data, nullptr);
        EXPECT_EQ(error, nullptr);
        accel.push_back(vd->monotonicNow());
      });
  EXPECT_TRUE(manager->isAccelerometerActive());
  EXPECT_EQ(device->activeStreams(), 1u);
  vd->advanceBy(0.35);
  EXPECT_EQ(accel, (std::vector<double>{kStart + 0.1, kStart + 2 * 0.1, kStart + 3 * 0.1}));

  // A new interval applies at once: the next reading comes one new interval after the change.
  manager->setAccelerometerUpdateInterval(0.25);
  vd->advanceBy(0.6);
  ASSERT_EQ(accel.size(), 5u);
  EXPECT_DOUBLE_EQ(accel[3], kStart + 0.35 + 0.25);
  EXPECT_DOUBLE_EQ(accel[4], kStart + 0.35 + 0.5);
  EXPECT_EQ(device->deliveriesHanded(MotionStream::accelerometer), 5u);
  manager->stopAccelerometerUpdates();

  // A thousand deliveries later the schedule has not drifted.
  std::vector<Delivery> gyro;
  const double gyroStart = vd->monotonicNow();
  manager->setUpdateInterval(MotionStream::gyro, 0.01);
  manager->startUpdates(MotionStream::gyro, serialQueue(), recorder(gyro));
  vd->advanceBy(10.0);
  ASSERT_EQ(gyro.size(), 1000u);
  EXPECT_EQ(gyro[999].at, gyroStart + 1000 * 0.01);

  // Intervals the device cannot serve become its shortest one.
  for (double bad : {0.0, -1.0, std::nan(""), HUGE_VAL, 1e-6}) {
    manager->setMagnetometerUpdateInterval(bad);
    EXPECT_EQ(manager->magnetometerUpdateInterval(), 0.001) << bad;
  }

  manager->stopAccelerometerUpdates();
  manager->stopGyroUpdates();
  manager->stopGyroUpdates();
  manager->stopDeviceMotionUpdates();
  EXPECT_FALSE(manager->isAccelerometerActive());
  EXPECT_EQ(device->activeStreams(), 0u);
  vd->runUntilIdle();
  EXPECT_FALSE(vd->hasPendingWork());
  EXPECT_EQ(accel.size(), 5u);
  EXPECT_EQ(gyro.size(), 1000u);
}

TEST_F(SimDevice, PlaysScriptedReadingsInOrder) {
  auto device = make(R"({"motion": {
    "accelerometer": {"readings": [[1, 1, 1], null, [2, 2, 2]]},
    "gyroscope": {"readings": [[3, 3, 3], null], "repeat": false},
    "magnetometer": {"readings": []}
  }})");
  auto manager = device->platform()->makeMotionManager();
  auto queue = serialQueue();
  std::vector<Delivery> accel, gyro, magnet;
  manager->startUpdates(MotionStream::accelerometer, queue, recorder(accel));
  manager->startUpdates(MotionStream::gyro, queue, recorder(gyro));
  manager->startUpdates(MotionStream::magnetometer, queue, recorder(magnet));
  vd->advanceBy(0.75);

  const std::optional<CMVector> one = CMVector{1, 1, 1}, two = CMVector{2, 2, 2};
  std::vector<std::optional<CMVector>> got;
  for (const auto& d : accel) got.push_back(d.reading);
  EXPECT_EQ(got, (std::vector{one, std::optional<CMVector>{}, two, one, std::optional<CMVector>{},
                              two, one}));

  // A script that does not repeat stalls: the stream stays active and leaves no timer behind.
  ASSERT_EQ(gyro.size(), 2u);
  EXPECT_EQ(gyro[0].reading, (CMVector{3, 3, 3}));
  EXPECT_FALSE(gyro[1].reading);
  EXPECT_TRUE(manager->isGyroActive());
  EXPECT_TRUE(magnet.empty());
  EXPECT_TRUE(manager->isMagnetometerActive());
  manager->stopAccelerometerUpdates();
  vd->runUntilIdle();
  EXPECT_FALSE(vd->hasPendingWork());
  EXPECT_EQ(device->activeStreams(), 2u);

  // Every start begins again from the first reading.
  manager->startUpdates(MotionStream::gyro, queue, recorder(gyro));
  manager->startUpdates(MotionStream::accelerometer, queue, recorder(accel));
  vd->advanceBy(0.1);
  EXPECT_EQ(gyro.size(), 3u);
  EXPECT_EQ(gyro.back().reading, (CMVector{3, 3, 3}));
  EXPECT_EQ(accel.back().reading, one);
}

TEST_F(SimDevice, StartsStopsAndReplacesHandlers) {
  auto device = make(R"({"motion": {"magnetometer": {"available": false}}})");
  auto manager = device->platform()->makeMotionManager();
  std::vector<Delivery> first, second;

  // An unavailable stream does nothing until the control makes it available.
  EXPECT_FALSE(manager->isMagnetometerAvailable());
  manager->startUpdates(MotionStream::magnetometer, serialQueue(), recorder(first));
  EXPECT_FALSE(manager->isMagnetometerActive());
  vd->advanceBy(1.0);
  EXPECT_TRUE(first.empty());
  EXPECT_FALSE(vd->hasPendingWork());
  device->setStreamAvailable(MotionStream::magnetometer, true);
  EXPECT_TRUE(manager->isMagnetometerAvailable());

  // Starting a running stream replaces its handler and begins the schedule again.
  manager->startUpdates(MotionStream::magnetometer, serialQueue(), recorder(first));
  vd->advanceBy(0.25);
  manager->startUpdates(MotionStream::magnetometer, serialQueue(), recorder(second));
  vd->advanceBy(0.25);
  expectTimes(first, {kStart + 1.1, kStart + 1.2});
  expectTimes(second, {kStart + 1.35, kStart + 1.45});
  EXPECT_EQ(device->activeStreams(), 1u);

  // A reading already handed to the handler's queue still arrives after the stop.
  const std::size_t before = second.size();
  vd->advanceClockBy(0.1);
  ASSERT_TRUE(vd->runOne());  // the sensor's timer hands the reading over
  manager->stopUpdates(MotionStream::magnetometer);
  vd->runUntilIdle();
  EXPECT_EQ(second.size(), before + 1);
  vd->advanceBy(1.0);
  EXPECT_EQ(second.size(), before + 1);

  // A manager that goes stops its streams and leaves nothing pending.
  manager->startUpdates(MotionStream::accelerometer, serialQueue(), recorder(first));
  manager->startUpdates(MotionStream::gyro, serialQueue(), recorder(first));
  EXPECT_EQ(device->activeStreams(), 2u);
  manager.reset();
  EXPECT_EQ(device->activeStreams(), 0u);
  vd->runUntilIdle();
  EXPECT_FALSE(vd->hasPendingWork());
}

// Streams that share a queue, an interval and a start take their readings on one wake-up per
// tick and reach their handlers in stream order; a stream stopped by an earlier handler of the
// same wake-up gets nothing more, and a stream started later keeps its own schedule.
TEST_F(SimDevice, StreamsStartedTogetherShareOneWakeUpPerTick) {
  auto device = make("{}");
  auto manager = device->platform()->makeMotionManager();
  auto queue = serialQueue();
  std::vector<std::pair<MotionStream, double>> log;
  int accelerometerReadings = 0;
  for (MotionStream s : kAllMotionStreams) {
    manager->startUpdates(s, queue, [&, s](const CMVector*, const NSError*) {
      log.emplace_back(s, vd->monotonicNow() - kStart);
      if (s == MotionStream::accelerometer && ++accelerometerReadings == 2) {
        manager->stopGyroUpdates();
      }
    });
  }
  const std::uint64_t tasksBefore = vd->tasksRun();
  vd->advanceBy(0.1);
  EXPECT_EQ(vd->tasksRun() - tasksBefore, 1u) << "one wake-up for four readings";
  vd->advanceBy(0.15);
  // The magnetometer starts again half-way between two ticks: it ticks on its own from now on.
  manager->startUpdates(MotionStream::magnetometer, queue, [&](const CMVector*, const NSError*) {
    log.emplace_back(MotionStream::magnetometer, vd->monotonicNow() - kStart);
  });
  vd->advanceBy(0.2);

  using M = MotionStream;
  const std::vector<std::pair<MotionStream, double>> expected = {
      {M::accelerometer, 0.1}, {M::gyro, 0.1},          {M::magnetometer, 0.1},
      {M::deviceMotion, 0.1},  {M::accelerometer, 0.2}, {M::magnetometer, 0.2},
      {M::deviceMotion, 0.2},  {M::accelerometer, 0.3}, {M::deviceMotion, 0.3},
      {M::magnetometer, 0.35}, {M::accelerometer, 0.4}, {M::deviceMotion, 0.4},
      {M::magnetometer, 0.45}};
  ASSERT_EQ(log.size(), expected.size());
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].first, expected[i].first) << i;
    EXPECT_NEAR(log[i].second, expected[i].second, 1e-9) << i;
  }
  EXPECT_EQ(device->deliveriesHanded(MotionStream::gyro), 1u);
}

TEST_F(SimDevice, StillPhoneReadingsArePlausibleAndTheSameOnEveryDevice) {
  std::array<std::vector<Delivery>, 2> runs[kMotionStreamCount];
  for (int round = 0; round < 2; ++round) {
    auto device = make("{}");
    auto manager = device->platform()->makeMotionManager();
    for (MotionStream s : kAllMotionStreams) {
      manager->startUpdates(
          s, serialQueue(),
          recorder(runs[static_cast<std::size_t>(s)][static_cast<std::size_t>(round)]));
    }
    vd->advanceBy(2.0);
    for (MotionStream s : kAllMotionStreams) manager->stopUpdates(s);
  }
  const auto norm = [](const CMVector& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); };
  for (MotionStream s : kAllMotionStreams) {
    SCOPED_TRACE(motionStreamName(s));
    const auto& a = runs[static_cast<std::size_t>(s)][0];
    const auto& b = runs[static_cast<std::size_t>(s)][1];
    ASSERT_EQ(a.size(), 20u);
    ASSERT_EQ(b.size(), 20u);
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_TRUE(a[i].reading);
      EXPECT_EQ(a[i].reading, b[i].reading);
      const CMVector& v = *a[i].reading;
      switch (s) {
        case MotionStream::accelerometer:
          EXPECT_NEAR(v.x, 0.0, 0.02);
          EXPECT_NEAR(v.y, 0.0, 0.02);
          EXPECT_NEAR(v.z, -1.0, 0.02);
          break;
        case MotionStream::gyro:
          EXPECT_LT(norm(v), 0.01);
          break;
        case MotionStream::magnetometer:
          EXPECT_GT(norm(v), 20.0);
          EXPECT_LT(norm(v), 70.0);
          break;
        case MotionStream::deviceMotion:
          EXPECT_NEAR(norm(v), 1.0, 1e-9);
          EXPECT_LT(v.z, -0.99);
          break;
      }
    }
    // The readings vary from one to the next.
    EXPECT_NE(a[0].reading, a[1].reading);
    EXPECT_NE(a[1].reading->x, a[2].reading->x);
  }
}

// What a location delegate received, and where.
struct Callback {
  std::string kind;
  double at;
  bool onMain;
  std::vector<CLLocationCoordinate2D> locations;
  std::optional<CLLocationCoordinate2D> from;
  long errorCode = -1;
};

class RecordingDelegate final : public CLLocationManagerDelegate {
 public:
  explicit RecordingDelegate(Dispatcher& d) : dispatcher_(d) {}
  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationRef>& locations) override {
    Callback c = here("locations");
    for (const auto& l : locations) c.locations.push_back(l->coordinate());
    calls.push_back(c);
  }
  void locationManagerDidUpdateToLocation(CLLocationManager&, const CLLocationRef& newLocation,
                                          const CLLocationRef& oldLocation) override {
    Callback c = here("location");
    c.locations.push_back(newLocation->coordinate());
    if (oldLocation) c.from = oldLocation->coordinate();
    calls.push_back(c);
  }
  void locationManagerDidFailWithError(CLLocationManager&, const NSError& error) override {
    Callback c = here("fail");
    c.errorCode = error.code;
    calls.push_back(c);
  }
  std::vector<Callback> calls;

 private:
  Callback here(const char* kind) const {
    return {kind, dispatcher_.monotonicNow(), dispatcher_.isMainThread(), {}, std::nullopt};
  }
  Dispatcher& dispatcher_;
};

TEST_F(SimDevice, LocationEventsPlayWhileUpdatesRun) {
  auto device = make(R"({"location": {"events": [
      {"after": 2.0, "locations": [[12.5, -45.25], [1, 1]]},
      {"after": 3.0, "fail": true},
      {"after": 4.0, "location": [1.0, 2.0], "from": [0.5, 0.5]},
      {"after": 4.0, "location": [3.0, 4.0]},
      {"after": 1.0, "locations": []}
  ]}})");
  auto manager = device->platform()->makeLocationManager();
  auto delegate = std::make_shared<RecordingDelegate>(*vd);
  manager->setDelegate(delegate);
  EXPECT_EQ(device->locationManagersMade(), 1u);

  manager->startUpdatingLocation();
  manager->startUpdatingLocation();  // does nothing more
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_EQ(device->locationUpdatesRunning(), 1u);
  vd->advanceBy(10.0);
  const auto& c = delegate->calls;
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0].kind, "locations");
  EXPECT_EQ(c[0].at, kStart + 2.0);
  EXPECT_EQ(c[0].locations, (std::vector<CLLocationCoordinate2D>{{12.5, -45.25}, {1, 1}}));
  EXPECT_EQ(c[1].kind, "fail");
  EXPECT_EQ(c[1].at, kStart + 3.0);
  EXPECT_EQ(c[2].kind, "location");
  EXPECT_EQ(c[2].locations, (std::vector<CLLocationCoordinate2D>{{1.0, 2.0}}));
  EXPECT_EQ(c[2].from, (CLLocationCoordinate2D{0.5, 0.5}));
  EXPECT_EQ(c[3].at, kStart + 4.0);
  EXPECT_FALSE(c[3].from);
  // An event that names an earlier time than the one before it keeps its place in the order.
  EXPECT_EQ(c[4].kind, "locations");
  EXPECT_EQ(c[4].at, kStart + 4.0);
  EXPECT_TRUE(c[4].locations.empty());
  for (const auto& call : c) EXPECT_TRUE(call.onMain) << call.kind;
  EXPECT_FALSE(vd->hasPendingWork());

  // A stop before an event means it never fires; a restart plays the events again from the new
  // start.
  manager->stopUpdatingLocation();
  EXPECT_EQ(device->locationUpdatesRunning(), 0u);
  manager->startUpdatingLocation();
  const double restart = vd->monotonicNow();
  vd->advanceBy(2.5);
  manager->stopUpdatingLocation();
  manager->stopUpdatingLocation();
  vd->advanceBy(10.0);
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[5].at, restart + 2.0);
  EXPECT_FALSE(vd->hasPendingWork());
}

TEST_F(SimDevice, DefaultFixAndRefusedStarts) {
  auto device = make("{}");
  auto delegate = std::make_shared<RecordingDelegate>(*vd);
  auto manager = device->platform()->makeLocationManager();
  manager->setDelegate(delegate);
  manager->startUpdatingLocation();
  vd->advanceBy(5.0);
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0].at, kStart + 0.5);
  EXPECT_EQ(delegate->calls[0].locations,
            (std::vector<CLLocationCoordinate2D>{SimScenario::kDefaultPosition}));
  manager->stopUpdatingLocation();

  // Disabled services or a status other than 3 or 4: one failure on the main thread, no updates.
  for (const auto& [enabled, status] :
       {std::pair{true, 2}, std::pair{true, 0}, std::pair{false, 4}}) {
    device->setServicesEnabled(enabled);
    device->setAuthorizationStatus(status);
    EXPECT_EQ(device->platform()->locationServicesEnabled(), enabled);
    EXPECT_EQ(device->platform()->authorizationStatus(), status);
    delegate->calls.clear();
    const double startedAt = vd->monotonicNow();
    manager->startUpdatingLocation();
    EXPECT_TRUE(delegate->calls.empty());
    EXPECT_EQ(device->locationUpdatesRunning(), 0u);
    vd->advanceBy(5.0);
    ASSERT_EQ(delegate->calls.size(), 1u);
    EXPECT_EQ(delegate->calls[0].kind, "fail");
    EXPECT_EQ(delegate->calls[0].errorCode, 1);
    EXPECT_EQ(delegate->calls[0].at, startedAt);
    EXPECT_TRUE(delegate->calls[0].onMain);
  }

  // The refusal is a callback of the start too: a stop before it arrives drops it.
  delegate->calls.clear();
  manager->startUpdatingLocation();
  manager->stopUpdatingLocation();
  vd->runUntilIdle();
  EXPECT_TRUE(delegate->calls.empty());
}

TEST_F(SimDevice, GoneDelegatesAndManagersReceiveNothing) {
  auto device = make(R"({"location": {"events": [{"after": 1, "fail": true}]}})");
  auto manager = device->platform()->makeLocationManager();
  auto delegate = std::make_shared<RecordingDelegate>(*vd);
  manager->setDelegate(delegate);
  manager->startUpdatingLocation();
  delegate.reset();
  vd->advanceBy(2.0);  // the event finds no delegate and is dropped quietly

  // A destroyed manager stops its updates; its pending event never reaches the delegate.
  auto second = device->platform()->makeLocationManager();
  auto watcher = std::make_shared<RecordingDelegate>(*vd);
  second->setDelegate(watcher);
  second->startUpdatingLocation();
  EXPECT_EQ(device->locationUpdatesRunning(), 2u);
  second.reset();
  EXPECT_EQ(device->locationUpdatesRunning(), 1u);
  vd->advanceBy(2.0);
  EXPECT_TRUE(watcher->calls.empty());
  EXPECT_FALSE(vd->hasPendingWork());
  EXPECT_EQ(device->locationManagersMade(), 2u);
}

TEST_F(SimDevice, ClockStartsAtTheScenarioTimeAndMovesWithVirtualTime) {
  auto device = make(R"({"clock": {"start": 1449000000.1234}})");
  const auto platform = device->platform();
  EXPECT_EQ(platform->timeIntervalSince1970(), 1449000000.1234);
  vd->advanceBy(2.5);
  EXPECT_DOUBLE_EQ(platform->timeIntervalSince1970(), 1449000000.1234 + 2.5);
  EXPECT_EQ(device->clock()->timeIntervalSince1970(), platform->timeIntervalSince1970());
  EXPECT_EQ(platform->describe(), "motion: simulated, location: simulated");
  EXPECT_EQ(&platform->dispatcher(), vd.get());

  // Without a start the clock begins at the real time now.
  const double now = makeSystemClock()->timeIntervalSince1970();
  EXPECT_NEAR(make("{}")->clock()->timeIntervalSince1970(), now, 60.0);
  EXPECT_EQ(SimulatedDevice::create({}, nullptr), nullptr);
}

// Starts, stops and queries from another thread while the dispatcher runs: the race detector
// checks the device's state, and the counts must come out even.
TEST_F(SimDevice, ControlsAreSafeFromAnyThread) {
  auto device = make("{}");
  auto manager = device->platform()->makeMotionManager();
  auto location = device->platform()->makeLocationManager();
  auto delegate = std::make_shared<RecordingDelegate>(*vd);
  location->setDelegate(delegate);
  auto queue = serialQueue();
  std::atomic<std::uint64_t> handled{0};
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (int i = 0; i < 300; ++i) {
      for (MotionStream s : kAllMotionStreams) {
        manager->setUpdateInterval(s, 0.01 * (1 + i % 3));
        manager->startUpdates(s, queue, [&](const CMVector*, const NSError*) { ++handled; });
        (void)manager->isActive(s);
      }
      location->startUpdatingLocation();
      device->setStreamAvailable(MotionStream::gyro, i % 2 == 0);
      if (i % 2) {
        for (MotionStream s : kAllMotionStreams) manager->stopUpdates(s);
        location->stopUpdatingLocation();
      }
      std::this_thread::yield();
    }
    for (MotionStream s : kAllMotionStreams) manager->stopUpdates(s);
    location->stopUpdatingLocation();
    done = true;
  });
  // The virtual dispatcher is driven from this thread only.
  while (!done) vd->advanceBy(0.05);
  host.join();
  vd->runUntilIdle();
  EXPECT_EQ(device->activeStreams(), 0u);
  EXPECT_EQ(device->locationUpdatesRunning(), 0u);
  std::uint64_t handed = 0;
  for (MotionStream s : kAllMotionStreams) handed += device->deliveriesHanded(s);
  EXPECT_EQ(handed, handled.load());
  EXPECT_FALSE(vd->hasPendingWork());
}

}  // namespace
}  // namespace pemdor
