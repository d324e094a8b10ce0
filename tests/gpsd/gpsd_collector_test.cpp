// SPDX-License-Identifier: MIT
// End to end: the collector on the simulated motion device and the gpsd location provider fed
// by the test with a receiver log, on the real dispatcher, reports the log's position in both kinds
// of run.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "GpsFake.h"
#include "SkipOrFail.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

using gpsd_testing::GpsFake;

constexpr auto kDeadline = std::chrono::seconds(20);

/// Passes a gpsd manager's callbacks on unchanged and then tells the test that a fix went
/// through, so that a sync run can be read once its position is stored.
class ObservedLocationService final : public LocationService {
 public:
  explicit ObservedLocationService(std::shared_ptr<LocationService> inner)
      : inner_(std::move(inner)) {}

  std::string name() const override { return inner_->name(); }
  bool locationServicesEnabled() override { return inner_->locationServicesEnabled(); }
  CLAuthorizationStatus authorizationStatus() override { return inner_->authorizationStatus(); }
  std::shared_ptr<CLLocationManager> makeLocationManager() override {
    return std::make_shared<Manager>(inner_->makeLocationManager(), this);
  }

  bool waitForFix() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return fixes_ > 0; });
  }

 private:
  class Manager;
  struct Forwarder final : CLLocationManagerDelegate {
    explicit Forwarder(Manager* m) : owner(m) {}
    void locationManagerDidUpdateLocations(CLLocationManager&,
                                           const std::vector<CLLocationRef>& locations) override {
      owner->forwardFix(locations);
    }
    void locationManagerDidFailWithError(CLLocationManager&, const NSError& error) override {
      owner->forwardFailure(error);
    }
    Manager* owner;
  };

  class Manager final : public CLLocationManager {
   public:
    Manager(std::shared_ptr<CLLocationManager> inner, ObservedLocationService* service)
        : service_(service),
          forwarder_(std::make_shared<Forwarder>(this)),
          inner_(std::move(inner)) {
      inner_->setDelegate(forwarder_);
    }
    void startUpdatingLocation() override { inner_->startUpdatingLocation(); }
    void stopUpdatingLocation() override { inner_->stopUpdatingLocation(); }

    void forwardFix(const std::vector<CLLocationRef>& locations) {
      notifyDidUpdateLocations(locations);
      service_->fixDelivered();
    }
    void forwardFailure(const NSError& error) { notifyDidFailWithError(error); }

   private:
    ObservedLocationService* service_;
    std::shared_ptr<Forwarder> forwarder_;
    // Declared last, so it stops and goes before the forwarder it calls.
    std::shared_ptr<CLLocationManager> inner_;
  };

  void fixDelivered() {
    {
      std::lock_guard lock(mutex_);
      ++fixes_;
    }
    changed_.notify_all();
  }

  std::shared_ptr<LocationService> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int fixes_ = 0;
};

class GpsdCollector : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!GpsFake::toolsPresent(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
    fake_ = GpsFake::start({.log = "fix.nmea"}, why);
    ASSERT_NE(fake_, nullptr) << why;
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
    device_ = SimulatedDevice::create(SimScenario{}, dispatcher_);
    ASSERT_NE(device_, nullptr);
    location_ = std::make_shared<ObservedLocationService>(
        makeGpsdLocationService(dispatcher_, fake_->endpoint()));
    platform_ =
        Platform::create({dispatcher_, makeSystemClock(), device_->motionService(), location_});
    collector_ = PemdorDeviceSensorInfo::init(platform_);
    ASSERT_NE(collector_, nullptr);
  }

  void TearDown() override {
    if (collector_) collector_->finishSensors();
    collector_.reset();
    platform_.reset();
    if (dispatcher_) dispatcher_->shutdown();
  }

  std::unique_ptr<GpsFake> fake_;
  std::shared_ptr<RealDispatcher> dispatcher_;
  std::shared_ptr<SimulatedDevice> device_;
  std::shared_ptr<ObservedLocationService> location_;
  std::shared_ptr<Platform> platform_;
  std::shared_ptr<PemdorDeviceSensorInfo> collector_;
};

TEST_F(GpsdCollector, CallbackRunReportsTheLogsPosition) {
  EXPECT_TRUE(collector_->isLocationServiceAvailable());
  struct Result {
    std::string latitude, longitude;
    std::optional<std::string> json;
  };
  auto result = std::make_shared<std::promise<Result>>();
  auto future = result->get_future();
  collector_->processSensorsWithCallBack([result](const std::string& latitude,
                                                  const std::string& longitude,
                                                  const std::optional<std::string>& json) {
    result->set_value({latitude, longitude, json});
  });
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready) << fake_->output();
  const Result got = future.get();
  EXPECT_EQ(got.latitude, "47.376900");
  EXPECT_EQ(got.longitude, "8.541700");
  ASSERT_TRUE(got.json);
  const auto snapshot = nlohmann::json::parse(*got.json, nullptr, false);
  ASSERT_TRUE(snapshot.is_object()) << *got.json;
  EXPECT_FALSE(snapshot.empty());
}

TEST_F(GpsdCollector, SyncRunStoresTheLogsPositionWithItsTime) {
  collector_->startSensors();
  ASSERT_TRUE(location_->waitForFix()) << fake_->output();
  auto data = collector_->getSensorData();
  ASSERT_TRUE(data.count("la") && data.count("lo") && data.count("Time"));
  EXPECT_EQ(std::get<std::string>(data["la"]), "47.376900");
  EXPECT_EQ(std::get<std::string>(data["lo"]), "8.541700");
  const auto& time = std::get<std::string>(data["Time"]);
  EXPECT_FALSE(time.empty());
  EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << time;
  collector_->finishSensors();
}

}  // namespace
}  // namespace pemdor
