// SPDX-License-Identifier: MIT
// End to end: the collector on the simulated motion device and the GeoClue2 location provider,
// with a fake GeoClue2 on a private bus. Runs whose outcome is a timeout are driven in virtual
// time; the others run on the real dispatcher and wait for events.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "GeoclueFake.h"
#include "collector_rig.h"
#include "location_recording.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

using geoclue_testing::GeoclueFake;
using location_conformance::RecordingDelegate;
using location_conformance::runOnMain;

constexpr auto kDeadline = std::chrono::seconds(20);

struct Outcome {
  std::string latitude, longitude;
  std::optional<std::string> json;
  double at = 0.0;
};

/// Starts a fake GeoClue2 with `options` and points the system bus at it.
std::unique_ptr<GeoclueFake> startFake(const std::vector<std::string>& options) {
  std::string why;
  auto fake = GeoclueFake::start(options, why);
  EXPECT_NE(fake, nullptr) << why;
  if (fake) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", fake->address().c_str(), 1);
  return fake;
}

class GeoclueCollector : public ::testing::Test {
 protected:
  void SetUp() override { PEMDOR_REQUIRE_GEOCLUE_FAKE(); }

  void TearDown() override {
    if (collector_) collector_->finishSensors();
    collector_.reset();
    platform_.reset();
    if (dispatcher_) dispatcher_->shutdown();
    fake_.reset();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  /// A collector on the real dispatcher with simulated motion and GeoClue2.
  void makeCollector(const std::vector<std::string>& fakeOptions) {
    fake_ = startFake(fakeOptions);
    ASSERT_NE(fake_, nullptr);
    dispatcher_ = RealDispatcher::create();
    device_ = SimulatedDevice::create(SimScenario{}, dispatcher_);
    ASSERT_NE(device_, nullptr);
    location_ = makeGeoclueLocationService(dispatcher_, {"pemdor-tests"});
    platform_ =
        Platform::create({dispatcher_, makeSystemClock(), device_->motionService(), location_});
    collector_ = PemdorDeviceSensorInfo::init(platform_);
    ASSERT_NE(collector_, nullptr);
  }

  Outcome callbackRun() {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    const auto started = dispatcher_->monotonicNow();
    collector_->processSensorsWithCallBack(
        [promise, dispatcher = dispatcher_, started](const std::string& latitude,
                                                     const std::string& longitude,
                                                     const std::optional<std::string>& json) {
          promise->set_value({latitude, longitude, json, dispatcher->monotonicNow() - started});
        });
    EXPECT_EQ(future.wait_for(kDeadline), std::future_status::ready) << fake_->output();
    return future.valid() && future.wait_for(std::chrono::seconds(0)) == std::future_status::ready
               ? future.get()
               : Outcome{};
  }

  std::unique_ptr<GeoclueFake> fake_;
  std::shared_ptr<RealDispatcher> dispatcher_;
  std::shared_ptr<SimulatedDevice> device_;
  std::shared_ptr<LocationService> location_;
  std::shared_ptr<Platform> platform_;
  std::shared_ptr<PemdorDeviceSensorInfo> collector_;
};

TEST_F(GeoclueCollector, CallbackRunAndSyncRunReportTheServicesPosition) {
  ASSERT_NO_FATAL_FAILURE(makeCollector({"--every=0.05,47.3769,8.5417"}));
  EXPECT_TRUE(collector_->isLocationServiceAvailable());
  const Outcome got = callbackRun();
  EXPECT_EQ(got.latitude, "47.376900");
  EXPECT_EQ(got.longitude, "8.541700");
  ASSERT_TRUE(got.json);
  const auto snapshot = nlohmann::json::parse(*got.json, nullptr, false);
  ASSERT_TRUE(snapshot.is_object()) << *got.json;
  EXPECT_EQ(snapshot["Acceleration"].size(), 10u);

  collector_->startSensors();
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  // Positions come every 50 ms; the sync run stores one with its time. Each tick of the service
  // is a moment to look again.
  PemdorSensorData data;
  do {
    ASSERT_TRUE(runOnMain(*dispatcher_, [&] { data = collector_->getSensorData(); }));
  } while (!data.count("Time") && fake_->waitFor("ticked"));
  ASSERT_TRUE(data.count("la") && data.count("lo") && data.count("Time")) << fake_->output();
  EXPECT_EQ(std::get<std::string>(data["la"]), "47.376900");
  EXPECT_EQ(std::get<std::string>(data["lo"]), "8.541700");
  collector_->finishSensors();
}

// Start refused: the callback run's wait ends at once, long before the ten-second timeout, with
// no position, and the service then reports the refusal.
TEST_F(GeoclueCollector, StartRefusedEndsTheWaitAtOnceWithoutAPosition) {
  ASSERT_NO_FATAL_FAILURE(makeCollector({"--start=deny"}));
  const Outcome got = callbackRun();
  EXPECT_LT(got.at, PemdorDeviceSensorInfo::kLocationTimeout / 2);
  EXPECT_EQ(got.latitude, "");
  EXPECT_EQ(got.longitude, "");
  EXPECT_EQ(collector_->currentLocation(), nullptr);
  EXPECT_EQ(location_->authorizationStatus(), kCLAuthorizationStatusDenied);
  // The service is there; it refused.
  EXPECT_TRUE(collector_->isLocationServiceAvailable());
}

// The service leaves the bus while a sync run waits for a position: the run keeps its streams
// and what they gathered.
TEST_F(GeoclueCollector, ServiceLeavingDuringASyncRunKeepsItsStreams) {
  ASSERT_NO_FATAL_FAILURE(makeCollector({}));
  collector_->startSensors(1000);
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  // A witness made after the collector's manager hears of the service leaving after it, on the
  // same main queue; once the witness has, the collector has too.
  auto delegate = std::make_shared<RecordingDelegate>(dispatcher_);
  std::shared_ptr<CLLocationManager> witness;
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
    witness = location_->makeLocationManager();
    witness->setDelegate(delegate);
    witness->startUpdatingLocation();
  }));
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  const std::size_t streams = device_->activeStreams();
  EXPECT_EQ(streams, 4u);
  fake_->send("quit");
  ASSERT_TRUE(delegate->waitForFailures(1)) << fake_->output();
  EXPECT_EQ(delegate->events().back().error.domain, "pemdor.geoclue.service-left");

  PemdorSensorData data;
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
    data = collector_->getSensorData();
    witness.reset();
  }));
  EXPECT_EQ(data.count("la"), 0u);
  EXPECT_EQ(device_->activeStreams(), streams);
}

// finishSensors racing the location start, in every order the threads allow: whatever client
// was made is stopped and deleted, and none is left running.
TEST_F(GeoclueCollector, FinishSensorsRacingTheStartLeavesNoClient) {
  ASSERT_NO_FATAL_FAILURE(makeCollector({"--every=0.05,1,2"}));
  for (int round = 0; round < 10; ++round) {
    collector_->startSensors();
    if (round % 2 == 1) {
      ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
    }
    collector_->finishSensors();
  }
  // A witness started after the rounds: by the time its client has a position, the bus has
  // carried every earlier Stop and DeleteClient (one connection keeps the order), and its client
  // is the last one made.
  auto delegate = std::make_shared<RecordingDelegate>(dispatcher_);
  std::shared_ptr<CLLocationManager> witness;
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
    witness = location_->makeLocationManager();
    witness->setDelegate(delegate);
    witness->startUpdatingLocation();
  }));
  ASSERT_TRUE(delegate->waitForFixes(1)) << fake_->output();
  std::vector<std::string> created;
  std::set<std::string> deleted;
  for (const auto& line : fake_->lines()) {
    if (line.rfind("created ", 0) == 0) created.push_back(line.substr(8));
    if (line.rfind("deleted ", 0) == 0) deleted.insert(line.substr(8));
  }
  ASSERT_FALSE(created.empty());
  created.pop_back();
  EXPECT_EQ(std::set<std::string>(created.begin(), created.end()), deleted) << fake_->output();
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { witness.reset(); }));
}

/// A collector in virtual time: simulated motion on the virtual dispatcher and GeoClue2, whose
/// bus thread posts to that dispatcher's main queue.
class GeoclueVirtualCollector : public ::testing::Test {
 protected:
  void SetUp() override {
    PEMDOR_REQUIRE_GEOCLUE_FAKE();
    fake_ = startFake({});
    ASSERT_NE(fake_, nullptr);
    rig_ = std::make_unique<testing::VirtualRig>();
    auto services = rig_->device->platform()->services();
    services.location = makeGeoclueLocationService(rig_->dispatcher, {"pemdor-tests"});
    rig_->collector = PemdorDeviceSensorInfo::init(Platform::create(services));
    ASSERT_NE(rig_->collector, nullptr);
  }
  void TearDown() override {
    rig_.reset();
    fake_.reset();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  /// Runs what is ready, then waits until the fake has started the client: from then on the
  /// service sends nothing more unless told to.
  void waitUntilStarted() {
    rig_->dispatcher->runUntilIdle();
    ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  }

  std::unique_ptr<GeoclueFake> fake_;
  std::unique_ptr<testing::VirtualRig> rig_;
};

// No position ever comes: the callback run ends at its ten-second timeout without one, and a
// sync run keeps its streams full without position keys.
TEST_F(GeoclueVirtualCollector, NoFixEndsTheCallbackRunAtItsTimeoutAndTheSyncRunKeepsItsStreams) {
  rig_->callbackRun();
  ASSERT_NO_FATAL_FAILURE(waitUntilStarted());
  rig_->advance(9.9);
  EXPECT_EQ(rig_->log.size(), 0u);
  rig_->advance(0.2);
  ASSERT_EQ(rig_->log.size(), 1u);
  const auto done = rig_->log.at(0);
  EXPECT_NEAR(done.at, PemdorDeviceSensorInfo::kLocationTimeout, 1e-9);
  EXPECT_EQ(done.latitude, "");
  EXPECT_EQ(done.longitude, "");
  ASSERT_TRUE(fake_->waitFor("deleted ")) << fake_->output();

  rig_->collector->startSensors();
  ASSERT_NO_FATAL_FAILURE(waitUntilStarted());
  rig_->advance(12.0);
  auto data = rig_->collector->getSensorData();
  EXPECT_EQ(data.count("la"), 0u);
  EXPECT_EQ(data.count("Time"), 0u);
  for (const char* key : {"Accelerometer", "Gyroscope", "Magnetometer", "Gravity"}) {
    ASSERT_TRUE(data.count(key)) << key;
    EXPECT_EQ(std::get<std::shared_ptr<PemdorRecordList>>(data[key])->count(), 10u) << key;
  }
  rig_->collector->finishSensors();
  ASSERT_TRUE(fake_->waitFor("deleted ")) << fake_->output();
}

}  // namespace
}  // namespace pemdor
