// SPDX-License-Identifier: MIT
// The gpsd provider against a real gpsd that the test feeds with a receiver log, on the real
// dispatcher.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "GpsFake.h"
#include "SkipOrFail.h"
#include "location_recording.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

using gpsd_testing::GpsFake;
using location_conformance::RecordingDelegate;
using location_conformance::runOnMain;

// The positions of the shipped logs.
constexpr CLLocationCoordinate2D kFixLogPosition{47.3769, 8.5417};
constexpr CLLocationCoordinate2D kLateFixLogPosition{-33.8688, -70.6483};

constexpr long kCannotConnect = 1;
constexpr long kConnectionLost = 3;

class GpsdProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!GpsFake::toolsPresent(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
  }
  void TearDown() override {
    if (manager_) {
      EXPECT_TRUE(runOnMain(*dispatcher_, [&] { manager_.reset(); }));
    }
    if (dispatcher_) dispatcher_->shutdown();
  }

  void startFake(GpsFake::Options options) {
    std::string why;
    fake_ = GpsFake::start(options, why);
    ASSERT_NE(fake_, nullptr) << why;
  }

  /// A manager of a service at `endpoint`, made and started on the main thread.
  void startManager(const GpsdEndpoint& endpoint) {
    service_ = makeGpsdLocationService(dispatcher_, endpoint);
    ASSERT_NE(service_, nullptr);
    delegate_ = std::make_shared<RecordingDelegate>(dispatcher_);
    ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
      manager_ = service_->makeLocationManager();
      manager_->setDelegate(delegate_);
      delegate_->markStart(true);
      manager_->startUpdatingLocation();
      delegate_->markStart(false);
    }));
  }

  void restartOnMain() {
    ASSERT_TRUE(runOnMain(*dispatcher_, [&] { manager_->startUpdatingLocation(); }));
  }

  std::shared_ptr<RealDispatcher> dispatcher_;
  std::unique_ptr<GpsFake> fake_;
  std::shared_ptr<LocationService> service_;
  std::shared_ptr<CLLocationManager> manager_;
  std::shared_ptr<RecordingDelegate> delegate_;
};

TEST_F(GpsdProvider, FirstFixIsTheLogsPosition) {
  ASSERT_NO_FATAL_FAILURE(startFake({.log = "fix.nmea", .once = true}));
  EXPECT_TRUE(gpsdAnswers(fake_->endpoint()));
  ASSERT_NO_FATAL_FAILURE(startManager(fake_->endpoint()));
  ASSERT_TRUE(delegate_->waitForFixes(1)) << fake_->output();
  // Asked while its manager is connected, the service answers without a new check (gpsd greets
  // no new client while it opens its device for the first watcher).
  EXPECT_TRUE(service_->locationServicesEnabled());
  EXPECT_EQ(service_->authorizationStatus(), kCLAuthorizationStatusAuthorizedWhenInUse);
  const auto first = delegate_->events().front();
  ASSERT_FALSE(first.failure) << first.error.localizedDescription;
  ASSERT_EQ(first.locations.size(), 1u);
  EXPECT_NEAR(first.locations[0].latitude, kFixLogPosition.latitude, 1e-9);
  EXPECT_NEAR(first.locations[0].longitude, kFixLogPosition.longitude, 1e-9);
  EXPECT_EQ(delegate_->offMainThread(), 0u);
  EXPECT_EQ(delegate_->duringStart(), 0u);
}

// gpsd reports mode 1 without a position while the receiver has no fix; none of those reports
// becomes a callback, and the fix that follows does, in the southern and western hemispheres.
TEST_F(GpsdProvider, ReportsWithoutAFixAreSkippedUntilTheFix) {
  ASSERT_NO_FATAL_FAILURE(startFake({.log = "nofix-then-fix.nmea", .once = true}));
  ASSERT_NO_FATAL_FAILURE(startManager(fake_->endpoint()));
  ASSERT_TRUE(delegate_->waitForFixes(3)) << fake_->output();
  EXPECT_EQ(delegate_->failures(), 0u);
  for (const auto& event : delegate_->events()) {
    ASSERT_EQ(event.locations.size(), 1u);
    EXPECT_TRUE(std::isfinite(event.locations[0].latitude));
    EXPECT_NEAR(event.locations[0].latitude, kLateFixLogPosition.latitude, 1e-9);
    EXPECT_NEAR(event.locations[0].longitude, kLateFixLogPosition.longitude, 1e-9);
  }
}

// Nothing listens: the answers say so at once, and each start ends in one failure on the main
// thread rather than a wait.
TEST_F(GpsdProvider, NoGpsdMeansFailureNotAHang) {
  const int port = GpsFake::freePort();
  ASSERT_GT(port, 0);
  const GpsdEndpoint nowhere{"localhost", std::to_string(port)};
  EXPECT_FALSE(gpsdAnswers(nowhere));
  ASSERT_NO_FATAL_FAILURE(startManager(nowhere));
  EXPECT_FALSE(service_->locationServicesEnabled());
  EXPECT_EQ(service_->authorizationStatus(), kCLAuthorizationStatusNotDetermined);

  ASSERT_TRUE(delegate_->waitForFailures(1));
  auto events = delegate_->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].error.code, kCannotConnect);
  EXPECT_NE(events[0].error.localizedDescription.find(nowhere.port), std::string::npos)
      << events[0].error.localizedDescription;
  EXPECT_EQ(delegate_->offMainThread(), 0u);
  EXPECT_EQ(delegate_->duringStart(), 0u);

  // After a failure the manager is not updating: a new start tries again.
  ASSERT_NO_FATAL_FAILURE(restartOnMain());
  ASSERT_TRUE(delegate_->waitForFailures(2));
  ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  EXPECT_EQ(delegate_->events().size(), 2u);
  manager_->stopUpdatingLocation();
  manager_->stopUpdatingLocation();
}

// gpsd goes away while it streams: one failure, nothing after it, and a later start finds no
// gpsd and fails again.
TEST_F(GpsdProvider, GpsdKilledMidStreamIsOneFailure) {
  ASSERT_NO_FATAL_FAILURE(startFake({.log = "fix.nmea"}));
  ASSERT_NO_FATAL_FAILURE(startManager(fake_->endpoint()));
  ASSERT_TRUE(delegate_->waitForFixes(2)) << fake_->output();
  fake_->kill();
  ASSERT_TRUE(delegate_->waitForFailures(1));
  ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  const auto events = delegate_->events();
  ASSERT_TRUE(events.back().failure);
  EXPECT_EQ(events.back().error.code, kConnectionLost);
  EXPECT_EQ(delegate_->failures(), 1u);
  const std::size_t fixes = delegate_->fixes();

  // The second failure is the refused connect of the new start.
  ASSERT_NO_FATAL_FAILURE(restartOnMain());
  ASSERT_TRUE(delegate_->waitForFailures(2));
  const auto second = delegate_->events().back();
  EXPECT_EQ(second.error.code, kCannotConnect);
  EXPECT_EQ(delegate_->fixes(), fixes);
}

// A listener that accepts but never greets is not gpsd, and the check still ends in time.
TEST_F(GpsdProvider, ASilentListenerIsNotGpsd) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const GpsdEndpoint silent{"127.0.0.1", std::to_string(ntohs(address.sin_port))};
  EXPECT_FALSE(gpsdAnswers(silent, 0.2));
  EXPECT_FALSE(gpsdAnswers(silent, 0.0));
  EXPECT_FALSE(gpsdAnswers({"no-such-host.invalid", "2947"}, 0.2));
  ::close(listener);
}

}  // namespace
}  // namespace pemdor
