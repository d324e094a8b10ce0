// SPDX-License-Identifier: MIT
// The GeoClue2 provider against a fake GeoClue2 on a private bus, on the real dispatcher.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "GeoclueFake.h"
#include "GeoclueSettings.h"
#include "location_recording.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using geoclue_testing::GeoclueFake;
using location_conformance::RecordingDelegate;
using location_conformance::runOnMain;

constexpr const char* kDesktopId = "pemdor-tests";

TEST(GeoclueSettings, AccuracyAndFilterMapOntoLevelsAndThresholds) {
  using namespace geoclue;
  EXPECT_EQ(accuracyLevelFor(kCLLocationAccuracyKilometer), kAccuracyStreet);
  EXPECT_EQ(accuracyLevelFor(kCLLocationAccuracyThreeKilometers), kAccuracyStreet);
  EXPECT_EQ(accuracyLevelFor(999.0), kAccuracyExact);
  EXPECT_EQ(accuracyLevelFor(-1.0), kAccuracyExact);
  EXPECT_EQ(accuracyLevelFor(std::nan("")), kAccuracyExact);
  EXPECT_EQ(accuracyLevelFor(3000.5), kAccuracyNeighborhood);
  EXPECT_EQ(accuracyLevelFor(20000.0), kAccuracyNeighborhood);
  EXPECT_EQ(accuracyLevelFor(50000.0), kAccuracyCity);
  EXPECT_EQ(accuracyLevelFor(std::numeric_limits<double>::infinity()), kAccuracyCountry);

  EXPECT_EQ(distanceThresholdFor(kCLHeadingFilterNone), 0u);
  EXPECT_EQ(distanceThresholdFor(0.0), 0u);
  EXPECT_EQ(distanceThresholdFor(std::nan("")), 0u);
  EXPECT_EQ(distanceThresholdFor(0.2), 1u);
  EXPECT_EQ(distanceThresholdFor(250.0), 250u);
  EXPECT_EQ(distanceThresholdFor(1e12), std::numeric_limits<std::uint32_t>::max());
}

class GeoclueProvider : public ::testing::Test {
 protected:
  struct Subject {
    std::shared_ptr<CLLocationManager> manager;
    std::shared_ptr<RecordingDelegate> delegate;
  };

  void TearDown() override {
    if (dispatcher_) {
      EXPECT_TRUE(runOnMain(*dispatcher_, [&] { subjects_.clear(); }));
    }
    service_.reset();
    if (dispatcher_) dispatcher_->shutdown();
    dispatcher_.reset();
    fake_.reset();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  /// Starts the fake with `options`, points the system bus at it and makes the service.
  void startFake(const std::vector<std::string>& options, double callTimeoutSeconds = 3.0) {
    PEMDOR_REQUIRE_GEOCLUE_FAKE();
    std::string why;
    fake_ = GeoclueFake::start(options, why);
    ASSERT_NE(fake_, nullptr) << why;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", fake_->address().c_str(), 1);
    makeService(callTimeoutSeconds);
  }

  void makeService(double callTimeoutSeconds = 3.0) {
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
    service_ = makeGeoclueLocationService(dispatcher_, {kDesktopId, callTimeoutSeconds});
    ASSERT_NE(service_, nullptr);
  }

  /// A manager with a recording delegate, made and started on the main thread.
  Subject& startSubject(CLLocationAccuracy accuracy = kCLLocationAccuracyThreeKilometers,
                        CLLocationDistance filter = kCLHeadingFilterNone) {
    Subject subject;
    subject.delegate = std::make_shared<RecordingDelegate>(dispatcher_);
    EXPECT_TRUE(runOnMain(*dispatcher_, [&] {
      subject.manager = service_->makeLocationManager();
      subject.manager->setDelegate(subject.delegate);
      subject.manager->setDesiredAccuracy(accuracy);
      subject.manager->setDistanceFilter(filter);
      subject.delegate->markStart(true);
      subject.manager->startUpdatingLocation();
      subject.delegate->markStart(false);
    }));
    subjects_.push_back(std::move(subject));
    return subjects_.back();
  }

  void drainMain() {
    ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  }

  /// The one failure `subject` received, after checking that nothing else came.
  NSError onlyFailure(const Subject& subject) {
    EXPECT_TRUE(subject.delegate->waitForFailures(1));
    drainMain();
    const auto events = subject.delegate->events();
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(subject.delegate->offMainThread(), 0u);
    EXPECT_EQ(subject.delegate->duringStart(), 0u);
    if (events.empty() || !events.front().failure) return {};
    return events.front().error;
  }

  std::shared_ptr<RealDispatcher> dispatcher_;
  std::unique_ptr<GeoclueFake> fake_;
  std::shared_ptr<LocationService> service_;
  /// References to subjects stay valid while more are made.
  std::deque<Subject> subjects_;
};

// A fix right after Start, one after a pause, then several in order; the client was set up as
// the issue of the settings says before Start, and a stop ends it with Stop, then DeleteClient.
TEST_F(GeoclueProvider, FixesArriveInOrderAndTheClientIsSetUpAndTornDown) {
  ASSERT_NO_FATAL_FAILURE(startFake({}));
  EXPECT_TRUE(service_->locationServicesEnabled());
  EXPECT_EQ(service_->authorizationStatus(), kCLAuthorizationStatusAuthorizedWhenInUse);
  auto& subject = startSubject(kCLLocationAccuracyKilometer, kCLHeadingFilterNone);
  const auto client = fake_->waitFor("created ");
  ASSERT_TRUE(client) << fake_->output();
  const std::string path = *client;
  EXPECT_EQ(fake_->waitFor("set " + path + " DesktopId "), kDesktopId);
  EXPECT_EQ(fake_->waitFor("set " + path + " RequestedAccuracyLevel "), "6");
  EXPECT_EQ(fake_->waitFor("set " + path + " DistanceThreshold "), "0");
  ASSERT_TRUE(fake_->waitFor("started " + path)) << fake_->output();

  fake_->send("emit 12.5 -45.25");
  ASSERT_TRUE(subject.delegate->waitForFixes(1)) << fake_->output();
  // Nothing comes while the service has nothing new.
  drainMain();
  EXPECT_EQ(subject.delegate->fixes(), 1u);
  fake_->send("emit -33.8688 -70.6483");
  fake_->send("emit 90 180");
  fake_->send("emit 0 0");
  ASSERT_TRUE(subject.delegate->waitForFixes(4)) << fake_->output();

  const auto events = subject.delegate->events();
  ASSERT_EQ(events.size(), 4u);
  const CLLocationCoordinate2D expected[] = {
      {12.5, -45.25}, {-33.8688, -70.6483}, {90, 180}, {0, 0}};
  for (std::size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(events[i].locations.size(), 1u);
    EXPECT_EQ(events[i].locations[0], expected[i]) << i;
  }
  EXPECT_EQ(subject.delegate->offMainThread(), 0u);
  EXPECT_EQ(subject.delegate->duringStart(), 0u);
  // While its client runs the service answers without asking the bus again.
  EXPECT_TRUE(service_->locationServicesEnabled());

  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { subject.manager->stopUpdatingLocation(); }));
  ASSERT_TRUE(fake_->waitFor("stopped " + path)) << fake_->output();
  ASSERT_TRUE(fake_->waitFor("deleted " + path)) << fake_->output();
}

// A position the service already had when Start answered is delivered without a signal, once.
TEST_F(GeoclueProvider, LocationAlreadySetAtStartIsDeliveredOnce) {
  ASSERT_NO_FATAL_FAILURE(startFake({"--at-start=47.3769,8.5417"}));
  auto& subject = startSubject();
  ASSERT_TRUE(subject.delegate->waitForFixes(1)) << fake_->output();
  fake_->send("emit 1 2");
  ASSERT_TRUE(subject.delegate->waitForFixes(2)) << fake_->output();
  drainMain();
  const auto events = subject.delegate->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].locations.at(0), (CLLocationCoordinate2D{47.3769, 8.5417}));
  EXPECT_EQ(events[1].locations.at(0), (CLLocationCoordinate2D{1, 2}));
}

// AccessDenied from Start is one failure and turns the status to denied; a new start asks again.
TEST_F(GeoclueProvider, StartRefusedIsOneFailureAndDenied) {
  ASSERT_NO_FATAL_FAILURE(startFake({"--start=deny"}));
  EXPECT_EQ(service_->authorizationStatus(), kCLAuthorizationStatusAuthorizedWhenInUse);
  auto& subject = startSubject();
  const NSError error = onlyFailure(subject);
  EXPECT_EQ(error.domain, "pemdor.geoclue.refused");
  EXPECT_NE(error.localizedDescription.find("disallowed"), std::string::npos)
      << error.localizedDescription;
  EXPECT_TRUE(service_->locationServicesEnabled());
  EXPECT_EQ(service_->authorizationStatus(), kCLAuthorizationStatusDenied);
  // The refused client is not left behind.
  const auto client = fake_->waitFor("denied ");
  ASSERT_TRUE(client);
  EXPECT_TRUE(fake_->waitFor("deleted " + *client)) << fake_->output();

  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { subject.manager->startUpdatingLocation(); }));
  ASSERT_TRUE(subject.delegate->waitForFailures(2));
  EXPECT_EQ(subject.delegate->fixes(), 0u);
}

// A bus without GeoClue2, and no bus at all: the answers say so, and a start fails at once.
TEST_F(GeoclueProvider, NoServiceAndNoBusAreFailuresNotWaits) {
  ASSERT_NO_FATAL_FAILURE(startFake({"--no-service"}));
  auto probe = probeGeoclue();
  EXPECT_TRUE(probe.bus);
  EXPECT_FALSE(probe.present());
  EXPECT_FALSE(service_->locationServicesEnabled());
  EXPECT_EQ(service_->authorizationStatus(), kCLAuthorizationStatusNotDetermined);
  auto& lonely = startSubject();
  EXPECT_EQ(onlyFailure(lonely).domain, "pemdor.geoclue.no-service");

  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/pemdor/bus", 1);
  probe = probeGeoclue();
  EXPECT_FALSE(probe.bus);
  EXPECT_FALSE(probe.problem.empty());
  auto service = makeGeoclueLocationService(dispatcher_, {kDesktopId});
  EXPECT_FALSE(service->locationServicesEnabled());
  EXPECT_EQ(service->authorizationStatus(), kCLAuthorizationStatusNotDetermined);
  service_ = service;
  auto& unconnected = startSubject();
  const NSError error = onlyFailure(unconnected);
  EXPECT_EQ(error.domain, "pemdor.geoclue.no-bus");
  EXPECT_NE(error.localizedDescription.find("system bus"), std::string::npos);
}

// A service that never answers CreateClient (no agent for the user) or Start: each run fails
// after the call's bound, and a stop in the meantime returns at once.
TEST_F(GeoclueProvider, UnansweredCallsEndAtTheirBound) {
  for (const char* option : {"--create=silent", "--start=silent"}) {
    SCOPED_TRACE(option);
    ASSERT_NO_FATAL_FAILURE(startFake({option}, 0.3));
    const auto started = std::chrono::steady_clock::now();
    auto& subject = startSubject();
    const NSError error = onlyFailure(subject);
    EXPECT_EQ(error.domain, "pemdor.geoclue.no-reply") << error.localizedDescription;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));

    // A second start, stopped from another thread while its call is pending.
    ASSERT_TRUE(runOnMain(*dispatcher_, [&] { subject.manager->startUpdatingLocation(); }));
    subject.manager->stopUpdatingLocation();
    drainMain();
    TearDown();
  }
}

// The service leaves the bus in the middle of a run: one failure, nothing after it.
TEST_F(GeoclueProvider, ServiceLeavingMidRunIsOneFailure) {
  ASSERT_NO_FATAL_FAILURE(startFake({}));
  auto& subject = startSubject();
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  fake_->send("emit 1 2");
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  fake_->send("quit");
  ASSERT_TRUE(fake_->waitFor("left"));
  ASSERT_TRUE(subject.delegate->waitForFailures(1)) << fake_->output();
  drainMain();
  const auto events = subject.delegate->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events.back().error.domain, "pemdor.geoclue.service-left")
      << events.back().error.localizedDescription;
  EXPECT_FALSE(service_->locationServicesEnabled());
}

// A stop before the first fix: that manager hears nothing of the fix its neighbour receives,
// and its client is stopped and deleted. A stop made before the client even exists deletes the
// client once it comes.
TEST_F(GeoclueProvider, StopBeforeTheFirstFix) {
  ASSERT_NO_FATAL_FAILURE(startFake({}));
  auto& early = startSubject();
  const auto earlyClient = fake_->waitFor("started ");
  ASSERT_TRUE(earlyClient) << fake_->output();
  auto& witness = startSubject();
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { early.manager->stopUpdatingLocation(); }));
  ASSERT_TRUE(fake_->waitFor("stopped " + *earlyClient));
  ASSERT_TRUE(fake_->waitFor("deleted " + *earlyClient));
  fake_->send("emit 5 6");
  ASSERT_TRUE(witness.delegate->waitForFixes(1));
  drainMain();
  EXPECT_TRUE(early.delegate->events().empty());

  Subject immediate;
  immediate.delegate = std::make_shared<RecordingDelegate>(dispatcher_);
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
    immediate.manager = service_->makeLocationManager();
    immediate.manager->setDelegate(immediate.delegate);
    immediate.manager->startUpdatingLocation();
    immediate.manager->stopUpdatingLocation();
  }));
  const auto client = fake_->waitFor("created ");
  ASSERT_TRUE(client) << fake_->output();
  ASSERT_TRUE(fake_->waitFor("deleted " + *client)) << fake_->output();
  fake_->send("emit 7 8");
  ASSERT_TRUE(witness.delegate->waitForFixes(2));
  drainMain();
  EXPECT_TRUE(immediate.delegate->events().empty());
  subjects_.push_back(std::move(immediate));
}

// A stop deletes its client before the connection may close: the service handles DeleteClient
// while this side's connection is still on the bus, and the connection closes after the answer.
// (A connection that closes right after sending its Stop and DeleteClient can lose both in the
// bus daemon.) An unanswered deletion holds the connection no longer than the call's bound.
TEST_F(GeoclueProvider, TheConnectionStaysUntilTheDeletionIsAnswered) {
  // A bound far above any answer time, so that only the answer can end the wait.
  ASSERT_NO_FATAL_FAILURE(startFake({"--delete=held"}, 30.0));
  auto& subject = startSubject();
  const auto client = fake_->waitFor("started ");
  ASSERT_TRUE(client) << fake_->output();
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { subject.manager->stopUpdatingLocation(); }));
  ASSERT_TRUE(fake_->waitFor("stopped " + *client)) << fake_->output();
  const auto sender = fake_->waitFor("delete-held " + *client + " ");
  ASSERT_TRUE(sender) << fake_->output();
  fake_->send("answer");
  EXPECT_EQ(fake_->waitFor("deleting " + *client + " "), *sender + " connected") << fake_->output();
  EXPECT_TRUE(fake_->waitFor("disconnected " + *sender)) << fake_->output();
  TearDown();

  ASSERT_NO_FATAL_FAILURE(startFake({"--delete=held"}, 0.3));
  auto& unanswered = startSubject();
  ASSERT_TRUE(fake_->waitFor("started ")) << fake_->output();
  const auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] { unanswered.manager->stopUpdatingLocation(); }));
  const auto held = fake_->waitFor("delete-held ");
  ASSERT_TRUE(held) << fake_->output();
  const std::string heldSender = held->substr(held->rfind(' ') + 1);
  ASSERT_TRUE(fake_->waitFor("disconnected " + heldSender)) << fake_->output();
  EXPECT_GE(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(300));
}

// The service goes while its client runs: the client is stopped and deleted on the way out.
TEST_F(GeoclueProvider, EndingTheServiceDeletesItsRunningClient) {
  ASSERT_NO_FATAL_FAILURE(startFake({}));
  startSubject();
  const auto client = fake_->waitFor("started ");
  ASSERT_TRUE(client) << fake_->output();
  // The manager's stop and the end of the bus thread race; either way the client goes.
  ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
    subjects_.clear();
    service_.reset();
  }));
  EXPECT_TRUE(fake_->waitFor("stopped " + *client)) << fake_->output();
  EXPECT_TRUE(fake_->waitFor("deleted " + *client)) << fake_->output();
}

}  // namespace
}  // namespace pemdor
