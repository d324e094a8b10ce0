// SPDX-License-Identifier: MIT
// The combined location service with real members: a fake GeoClue2 on a private bus
// (fake_geoclue.py) as the consent member and gpsd under the test driver, replaying a receiver
// log, on the real dispatcher. Timings are real and bounded: every wait is for an event with a
// deadline, and GeoClue2's call bound is one second where a test waits for it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "GeoclueFake.h"
#include "GpsFake.h"
#include "location_recording.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using geoclue_testing::GeoclueFake;
using gpsd_testing::GpsFake;
using location_conformance::runOnMain;
using ::testing::AllOf;
using ::testing::HasSubstr;

constexpr CLLocationCoordinate2D kLogPosition{47.3769, 8.5417};
constexpr auto kDeadline = std::chrono::seconds(15);

/// What reached a delegate, from the main thread, with the steady time of each fix.
class SourceLog final : public CLLocationManagerDelegate {
 public:
  struct Fix {
    std::string source;
    CLLocationCoordinate2D position;
    std::chrono::steady_clock::time_point at;
  };

  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationRef>& locations) override {
    std::lock_guard lock(mutex_);
    for (const auto& location : locations) {
      fixes_.push_back(
          {location->source(), location->coordinate(), std::chrono::steady_clock::now()});
    }
    changed_.notify_all();
  }
  void locationManagerDidFailWithError(CLLocationManager&, const NSError& error) override {
    std::lock_guard lock(mutex_);
    failures_.push_back(error);
    changed_.notify_all();
  }

  bool waitForFixes(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return fixes_.size() >= count; });
  }
  bool waitForFailure() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return !failures_.empty(); });
  }
  std::vector<Fix> fixes() const {
    std::lock_guard lock(mutex_);
    return fixes_;
  }
  std::vector<NSError> failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Fix> fixes_;
  std::vector<NSError> failures_;
};

class CombinedServices : public ::testing::Test {
 protected:
  void SetUp() override {
    PEMDOR_REQUIRE_GEOCLUE_FAKE();
    std::string why;
    if (!GpsFake::toolsPresent(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
  }

  void TearDown() override {
    if (dispatcher_) {
      EXPECT_TRUE(runOnMain(*dispatcher_, [&] {
        for (const auto& manager : managers_) manager->stopUpdatingLocation();
      }));
    }
    managers_.clear();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (dispatcher_) dispatcher_->shutdown();
  }

  /// The fake GeoClue2 with `options`, on the bus the provider uses.
  void startGeoclue(const std::vector<std::string>& options) {
    std::string why;
    geoclue_ = GeoclueFake::start(options, why);
    ASSERT_NE(geoclue_, nullptr) << why;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", geoclue_->address().c_str(), 1);
  }
  void startGpsd(const std::string& log) {
    std::string why;
    gpsd_ = GpsFake::start({.log = log}, why);
    ASSERT_NE(gpsd_, nullptr) << why;
  }
  GpsdEndpoint gpsdEndpoint() const {
    return gpsd_ ? gpsd_->endpoint()
                 : GpsdEndpoint{"127.0.0.1", std::to_string(GpsFake::freePort())};
  }

  /// GeoClue2 and gpsd, combined; GeoClue2's calls are bound to `callTimeout` seconds.
  std::shared_ptr<LocationService> combined(double callTimeout = 3.0) {
    return makeCombinedLocationService(
        {makeGeoclueLocationService(dispatcher_, {"pemdor-tests", callTimeout}),
         makeGpsdLocationService(dispatcher_, gpsdEndpoint())});
  }

  /// Starts a manager of `service` on the main thread, as a collector does.
  std::shared_ptr<SourceLog> start(LocationService& service) {
    auto log = std::make_shared<SourceLog>();
    logs_.push_back(log);
    EXPECT_TRUE(runOnMain(*dispatcher_, [&] {
      auto manager = service.makeLocationManager();
      manager->setDelegate(log);
      manager->setDesiredAccuracy(kCLLocationAccuracyKilometer);
      manager->setDistanceFilter(kCLHeadingFilterNone);
      manager->startUpdatingLocation();
      managers_.push_back(std::move(manager));
    }));
    return log;
  }

  std::shared_ptr<RealDispatcher> dispatcher_;
  std::unique_ptr<GeoclueFake> geoclue_;
  std::unique_ptr<GpsFake> gpsd_;
  std::vector<std::shared_ptr<CLLocationManager>> managers_;
  std::vector<std::shared_ptr<SourceLog>> logs_;
};

// GeoClue2 has a position at Start while gpsd's receiver has none yet: GeoClue2's fix comes
// first, and gpsd's follow once it has them.
TEST_F(CombinedServices, GeoclueGivesAFixFirst) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--at-start=12.5,-45.25"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("nofix-then-fix.nmea"));
  const auto service = combined();
  const auto log = start(*service);
  ASSERT_TRUE(log->waitForFixes(1));
  const auto first = log->fixes().front();
  EXPECT_EQ(first.source, "geoclue");
  EXPECT_EQ(first.position, (CLLocationCoordinate2D{12.5, -45.25}));
  EXPECT_TRUE(log->failures().empty());
}

// gpsd has a fix before GeoClue2 answers Start: it is held until the answer, then delivered.
TEST_F(CombinedServices, GpsdFirstWhileGeoclueAnswersStartLater) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--start=held"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("fix.nmea"));
  const auto service = combined();
  const auto log = start(*service);
  ASSERT_TRUE(geoclue_->waitFor("start-held")) << geoclue_->output();
  // A lone gpsd manager shows when gpsd has fixes to give.
  const auto witnessService = makeGpsdLocationService(dispatcher_, gpsd_->endpoint());
  const auto witness = start(*witnessService);
  ASSERT_TRUE(witness->waitForFixes(2));
  EXPECT_TRUE(log->fixes().empty());
  const auto answered = std::chrono::steady_clock::now();
  geoclue_->send("answer");
  ASSERT_TRUE(log->waitForFixes(1));
  const auto first = log->fixes().front();
  EXPECT_EQ(first.source, "gpsd");
  EXPECT_NEAR(first.position.latitude, kLogPosition.latitude, 1e-9);
  EXPECT_GE(first.at, answered);
}

// A GeoClue2 without an agent never answers CreateClient: once its call bound has passed it
// drops out, and gpsd's fix arrives then.
TEST_F(CombinedServices, NoAgentMeansGpsdsFixOnceTheBoundHasPassed) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--create=silent"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("fix.nmea"));
  const auto service = combined(1.0);
  const auto started = std::chrono::steady_clock::now();
  const auto log = start(*service);
  ASSERT_TRUE(log->waitForFixes(1));
  EXPECT_GE(log->fixes().front().at - started, std::chrono::milliseconds(990));
  EXPECT_EQ(log->fixes().front().source, "gpsd");
  EXPECT_TRUE(log->failures().empty());
}

// A refusal: no fix ever, although gpsd has them, and exactly one failure, the refusal.
TEST_F(CombinedServices, RefusalMeansNoFixFromAnyMember) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--start=deny"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("fix.nmea"));
  const auto service = combined();
  const auto log = start(*service);
  ASSERT_TRUE(log->waitForFailure());
  const auto witnessService = makeGpsdLocationService(dispatcher_, gpsd_->endpoint());
  const auto witness = start(*witnessService);
  ASSERT_TRUE(witness->waitForFixes(3));
  ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  EXPECT_TRUE(log->fixes().empty());
  ASSERT_EQ(log->failures().size(), 1U);
  EXPECT_EQ(log->failures().front().domain, "pemdor.geoclue.refused");
  EXPECT_EQ(service->authorizationStatus(), kCLAuthorizationStatusDenied);
}

// Without GeoClue2 on the bus, gpsd goes alone; when gpsd is not there either, one failure
// names both.
TEST_F(CombinedServices, WithoutGeoclueGpsdGoesAloneAndBothFailingFailOnce) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--no-service"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("fix.nmea"));
  const auto service = combined();
  EXPECT_EQ(service->authorizationStatus(), kCLAuthorizationStatusAuthorizedWhenInUse);
  const auto log = start(*service);
  ASSERT_TRUE(log->waitForFixes(1));
  EXPECT_EQ(log->fixes().front().source, "gpsd");
  EXPECT_TRUE(log->failures().empty());

  gpsd_.reset();
  const auto neither = combined();
  const auto failed = start(*neither);
  ASSERT_TRUE(failed->waitForFailure());
  ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  ASSERT_EQ(failed->failures().size(), 1U);
  EXPECT_THAT(failed->failures().front().localizedDescription,
              AllOf(HasSubstr("every location service failed: "), HasSubstr("geoclue: "),
                    HasSubstr("gpsd: gpsd at 127.0.0.1:")));
  EXPECT_TRUE(failed->fixes().empty());
}

// GeoClue2 leaving the bus mid-run is one member failing: gpsd goes on. Once gpsd goes too, the
// manager fails, once.
TEST_F(CombinedServices, TheServiceLeavingMidRun) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--every=0.1,12.5,-45.25"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("fix.nmea"));
  const auto service = combined();
  const auto log = start(*service);
  const auto hasBoth = [&] {
    bool geoclue = false;
    bool gpsd = false;
    for (const auto& fix : log->fixes()) {
      geoclue = geoclue || fix.source == "geoclue";
      gpsd = gpsd || fix.source == "gpsd";
    }
    return geoclue && gpsd;
  };
  for (std::size_t n = 1; !hasBoth(); ++n) ASSERT_TRUE(log->waitForFixes(n));
  geoclue_->send("quit");
  ASSERT_TRUE(geoclue_->waitFor("left"));
  const std::size_t atLeave = log->fixes().size();
  ASSERT_TRUE(log->waitForFixes(atLeave + 3));
  EXPECT_EQ(log->fixes().back().source, "gpsd");
  EXPECT_TRUE(log->failures().empty());

  gpsd_->kill();
  ASSERT_TRUE(log->waitForFailure());
  ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  ASSERT_EQ(log->failures().size(), 1U);
  EXPECT_EQ(log->failures().front().domain, "pemdor.gpsd");
  EXPECT_THAT(log->failures().front().localizedDescription,
              AllOf(HasSubstr("geoclue: org.freedesktop.GeoClue2 left the system bus"),
                    HasSubstr("; gpsd: ")));
}

// A stop while GeoClue2's Start waits for its answer stops both members: the client is deleted,
// and the answer that comes later brings nothing.
TEST_F(CombinedServices, StopBeforeTheAnswerEndsEveryMember) {
  ASSERT_NO_FATAL_FAILURE(startGeoclue({"--start=held", "--every=0.05,12.5,-45.25"}));
  ASSERT_NO_FATAL_FAILURE(startGpsd("fix.nmea"));
  const auto service = combined();
  const auto log = start(*service);
  ASSERT_TRUE(geoclue_->waitFor("start-held")) << geoclue_->output();
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { managers_.front()->stopUpdatingLocation(); }));
  EXPECT_TRUE(geoclue_->waitFor("deleted")) << geoclue_->output();
  geoclue_->send("answer");
  ASSERT_TRUE(geoclue_->waitFor("answered"));
  const auto witnessService = makeGpsdLocationService(dispatcher_, gpsd_->endpoint());
  const auto witness = start(*witnessService);
  ASSERT_TRUE(witness->waitForFixes(3));
  ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  EXPECT_TRUE(log->fixes().empty());
  EXPECT_TRUE(log->failures().empty());
}

}  // namespace
}  // namespace pemdor
