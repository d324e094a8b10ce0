// SPDX-License-Identifier: MIT
// The combined location service's rules in virtual time: a consent member scripted like GeoClue2
// (ConsentFake.h) and simulated devices as the other members, all on one virtual dispatcher, so
// that every moment of a delivery is exact.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ConsentFake.h"
#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

using combined_testing::ConsentFakeService;
using combined_testing::ConsentScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

/// What reached the delegate, with the virtual time of each callback.
class Log final : public CLLocationManagerDelegate {
 public:
  struct Event {
    double at = 0.0;
    /// "fix", "fail" or "auth".
    std::string kind;
    std::string source;
    CLLocationCoordinate2D position;
    NSError error;
  };

  explicit Log(std::shared_ptr<Dispatcher> dispatcher) : dispatcher_(std::move(dispatcher)) {}

  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationRef>& locations) override {
    for (const auto& location : locations) add("fix", location);
  }
  void locationManagerDidUpdateToLocation(CLLocationManager&, const CLLocationRef& location,
                                          const CLLocationRef&) override {
    add("fix", location);
  }
  void locationManagerDidFailWithError(CLLocationManager&, const NSError& error) override {
    events.push_back({dispatcher_->monotonicNow(), "fail", "", {}, error});
  }
  void locationManagerDidChangeAuthorization(CLLocationManager&,
                                             CLAuthorizationStatus status) override {
    events.push_back({dispatcher_->monotonicNow(), "auth", std::to_string(status), {}, {}});
  }

  std::vector<Event> of(const std::string& kind) const {
    std::vector<Event> out;
    for (const auto& event : events) {
      if (event.kind == kind) out.push_back(event);
    }
    return out;
  }
  std::vector<std::string> sources() const {
    std::vector<std::string> out;
    for (const auto& event : of("fix")) out.push_back(event.source);
    return out;
  }

  std::vector<Event> events;

 private:
  void add(const char* kind, const CLLocationRef& location) {
    events.push_back(
        {dispatcher_->monotonicNow(), kind, location->source(), location->coordinate(), {}});
  }
  const std::shared_ptr<Dispatcher> dispatcher_;
};

SimScenario scenarioOf(const std::string& json) {
  auto result = parseSimScenario(json, "test");
  EXPECT_TRUE(result) << result.error;
  return result.scenario.value_or(SimScenario{});
}

/// A consent member, a simulated member and their combination on one virtual dispatcher.
struct Rig {
  explicit Rig(ConsentScript script, const std::string& simulatedEvents = R"([
      {"after": 0.5, "locations": [[12.5, -45.25]]},
      {"after": 4.0, "locations": [[12.75, -45.5]]}])")
      : dispatcher(VirtualDispatcher::create()),
        consent(std::make_shared<ConsentFakeService>(dispatcher, std::move(script))),
        device(SimulatedDevice::create(
            scenarioOf(R"({"location": {"events": )" + simulatedEvents + "}}"), dispatcher)),
        service(makeCombinedLocationService({consent, device->locationService()})),
        manager(service->makeLocationManager()),
        log(std::make_shared<Log>(dispatcher)) {
    manager->setDelegate(log);
  }
  ~Rig() {
    manager->stopUpdatingLocation();
    dispatcher->runUntilIdle();
  }

  void start() { manager->startUpdatingLocation(); }
  void advanceTo(double when) { dispatcher->advanceBy(when - dispatcher->monotonicNow()); }
  /// Whether every member has stopped.
  bool allStopped() const {
    return consent->running() == 0 && device->locationUpdatesRunning() == 0;
  }

  std::shared_ptr<VirtualDispatcher> dispatcher;
  std::shared_ptr<ConsentFakeService> consent;
  std::shared_ptr<SimulatedDevice> device;
  std::shared_ptr<LocationService> service;
  std::shared_ptr<CLLocationManager> manager;
  std::shared_ptr<Log> log;
};

ConsentScript allowAt(double answerAfter, std::vector<double> fixes = {}) {
  ConsentScript script;
  script.answerAfter = answerAfter;
  script.fixesAfter = std::move(fixes);
  return script;
}

ConsentScript answeredAt(ConsentScript::Answer answer, double answerAfter) {
  ConsentScript script;
  script.answer = answer;
  script.answerAfter = answerAfter;
  return script;
}

TEST(CombinedRules, TheConsentMembersFixComesFirstAndTheOthersFollow) {
  Rig rig(allowAt(0.2, {0.3}));
  rig.start();
  rig.advanceTo(5.0);
  const auto fixes = rig.log->of("fix");
  ASSERT_EQ(fixes.size(), 3U);
  EXPECT_THAT(rig.log->sources(), ElementsAre("consent", "simulated", "simulated"));
  EXPECT_DOUBLE_EQ(fixes[0].at, 0.3);
  // The simulated fix came after the answer, so it was never held.
  EXPECT_DOUBLE_EQ(fixes[1].at, 0.5);
  EXPECT_DOUBLE_EQ(fixes[2].at, 4.0);
  EXPECT_TRUE(rig.log->of("fail").empty());
  // The consent member's answer is handed on, before any fix.
  ASSERT_FALSE(rig.log->events.empty());
  EXPECT_EQ(rig.log->events.front().kind, "auth");
  EXPECT_DOUBLE_EQ(rig.log->events.front().at, 0.2);
}

// The other member's fix waits for the consent member's answer and comes at that very moment.
TEST(CombinedRules, AFixBeforeTheAnswerIsHeldUntilTheStartIsAllowed) {
  Rig rig(allowAt(2.0));
  rig.start();
  rig.advanceTo(1.999);
  EXPECT_TRUE(rig.log->of("fix").empty());
  rig.advanceTo(5.0);
  const auto fixes = rig.log->of("fix");
  ASSERT_EQ(fixes.size(), 2U);
  EXPECT_DOUBLE_EQ(fixes[0].at, 2.0);
  EXPECT_EQ(fixes[0].source, "simulated");
  EXPECT_EQ(fixes[0].position, (CLLocationCoordinate2D{12.5, -45.25}));
  EXPECT_DOUBLE_EQ(fixes[1].at, 4.0);
}

// A consent member that never gets an answer from its agent fails once its bound has passed: it
// drops out, the held fix is delivered then, and the manager does not fail.
TEST(CombinedRules, AConsentMemberThatFailsForAnotherReasonDropsOut) {
  Rig rig(answeredAt(ConsentScript::Answer::fail, 3.0));
  rig.start();
  rig.advanceTo(2.9);
  EXPECT_TRUE(rig.log->of("fix").empty());
  rig.advanceTo(10.0);
  const auto fixes = rig.log->of("fix");
  ASSERT_EQ(fixes.size(), 2U);
  EXPECT_DOUBLE_EQ(fixes[0].at, 3.0);
  EXPECT_EQ(fixes[0].source, "simulated");
  EXPECT_TRUE(rig.log->of("fail").empty());
}

// A refusal means no position from any member, ever, and one failure: the refusal itself.
TEST(CombinedRules, ARefusalStopsEveryMemberAndFailsOnce) {
  Rig rig(answeredAt(ConsentScript::Answer::refuse, 2.0));
  rig.start();
  rig.advanceTo(30.0);
  EXPECT_TRUE(rig.log->of("fix").empty());
  const auto failures = rig.log->of("fail");
  ASSERT_EQ(failures.size(), 1U);
  EXPECT_EQ(failures[0].error.domain, combined_testing::kRefusedDomain);
  EXPECT_DOUBLE_EQ(failures[0].at, 2.0);
  EXPECT_TRUE(rig.allStopped());
  // A later start asks again, and is refused again.
  rig.start();
  rig.advanceTo(60.0);
  EXPECT_TRUE(rig.log->of("fix").empty());
  EXPECT_EQ(rig.log->of("fail").size(), 2U);
}

// Without a consent member nothing is held; with one that is not there, it fails at once and
// the others go on alone.
TEST(CombinedRules, WithoutAConsentMemberTheOthersGoAlone) {
  const auto dispatcher = VirtualDispatcher::create();
  const auto first = SimulatedDevice::create(
      scenarioOf(R"({"location": {"events": [{"after": 0.5, "locations": [[1, 2]]}]}})"),
      dispatcher);
  const auto second = SimulatedDevice::create(
      scenarioOf(R"({"location": {"events": [{"after": 0.25, "location": [3, 4]}]}})"), dispatcher);
  const auto service =
      makeCombinedLocationService({first->locationService(), second->locationService()});
  const auto manager = service->makeLocationManager();
  const auto log = std::make_shared<Log>(dispatcher);
  manager->setDelegate(log);
  manager->startUpdatingLocation();
  dispatcher->advanceBy(1.0);
  const auto fixes = log->of("fix");
  ASSERT_EQ(fixes.size(), 2U);
  EXPECT_DOUBLE_EQ(fixes[0].at, 0.25);
  EXPECT_EQ(fixes[0].position, (CLLocationCoordinate2D{3, 4}));
  EXPECT_DOUBLE_EQ(fixes[1].at, 0.5);
  manager->stopUpdatingLocation();

  Rig absent(answeredAt(ConsentScript::Answer::fail, 0.0));
  absent.start();
  absent.advanceTo(1.0);
  ASSERT_EQ(absent.log->of("fix").size(), 1U);
  EXPECT_DOUBLE_EQ(absent.log->of("fix")[0].at, 0.5);
}

// The manager fails only once every member has failed; its error names them all, with the
// domain of the last one.
TEST(CombinedRules, WhenEveryMemberFailsTheManagerFailsOnceNamingEach) {
  Rig rig(answeredAt(ConsentScript::Answer::fail, 3.0),
          R"([{"after": 1.0, "fail": true}, {"after": 20.0, "locations": [[1, 2]]}])");
  rig.start();
  rig.advanceTo(2.0);
  EXPECT_TRUE(rig.log->of("fail").empty());
  rig.advanceTo(30.0);
  const auto failures = rig.log->of("fail");
  ASSERT_EQ(failures.size(), 1U);
  EXPECT_DOUBLE_EQ(failures[0].at, 3.0);
  EXPECT_EQ(failures[0].error.domain, combined_testing::kNoReplyDomain);
  EXPECT_EQ(failures[0].error.code, 4);
  EXPECT_THAT(failures[0].error.localizedDescription,
              AllOf(HasSubstr("every location service failed: simulated: "),
                    HasSubstr("; consent: CreateClient: no reply within the bound")));
  // Nothing follows the failure, not even the simulated fix at 20 s.
  EXPECT_TRUE(rig.log->of("fix").empty());
  EXPECT_TRUE(rig.allStopped());
}

// The consent member leaving after it allowed the start is one member failing: the others go on.
TEST(CombinedRules, TheConsentServiceLeavingMidRunLeavesTheOthers) {
  ConsentScript script = allowAt(0.1, {0.2});
  script.leaveAfter = 1.0;
  Rig rig(script);
  rig.start();
  rig.advanceTo(5.0);
  EXPECT_THAT(rig.log->sources(), ElementsAre("consent", "simulated", "simulated"));
  EXPECT_TRUE(rig.log->of("fail").empty());
}

// A stop at any moment ends every member and lets nothing through, a held fix included; a
// restart plays from the start again.
TEST(CombinedRules, StopAtEveryStage) {
  for (const double stopAt : {0.0, 0.25, 0.75, 2.0, 2.5, 4.5}) {
    SCOPED_TRACE(stopAt);
    Rig rig(allowAt(2.0, {2.5}));
    rig.start();
    if (stopAt > 0.0) rig.advanceTo(stopAt);
    const std::size_t before = rig.log->events.size();
    rig.manager->stopUpdatingLocation();
    EXPECT_TRUE(rig.allStopped());
    rig.advanceTo(10.0);
    EXPECT_EQ(rig.log->events.size(), before);
    rig.manager->stopUpdatingLocation();

    rig.start();
    rig.advanceTo(10.0 + 2.0);
    ASSERT_FALSE(rig.log->of("fix").empty());
    EXPECT_DOUBLE_EQ(rig.log->of("fix").back().at, 12.0);
  }
  // A stop after the manager failed is harmless.
  Rig failed(answeredAt(ConsentScript::Answer::refuse, 0.5));
  failed.start();
  failed.advanceTo(1.0);
  failed.manager->stopUpdatingLocation();
  failed.manager->stopUpdatingLocation();
  EXPECT_EQ(failed.log->of("fail").size(), 1U);
}

// Accuracy and filter reach each member unchanged; the class-level answers follow the members.
TEST(CombinedRules, SettingsReachTheMembersAndAnswersFollowThem) {
  Rig rig(allowAt(1.0));
  rig.manager->setDesiredAccuracy(kCLLocationAccuracyThreeKilometers);
  rig.manager->setDistanceFilter(250.0);
  rig.start();
  EXPECT_EQ(rig.consent->lastSettings(), std::make_pair(kCLLocationAccuracyThreeKilometers, 250.0));

  EXPECT_EQ(rig.service->name(), "combined");
  EXPECT_TRUE(rig.service->decidesConsent());
  EXPECT_TRUE(rig.service->locationServicesEnabled());
  // The consent member's status counts while it is there, even when another would allow.
  rig.consent->set(true, kCLAuthorizationStatusDenied);
  EXPECT_EQ(rig.service->authorizationStatus(), kCLAuthorizationStatusDenied);
  // Once it is gone, the best of the others that are there.
  rig.consent->set(false, kCLAuthorizationStatusNotDetermined);
  EXPECT_TRUE(rig.service->locationServicesEnabled());
  EXPECT_EQ(rig.service->authorizationStatus(), kCLAuthorizationStatusAuthorizedWhenInUse);
  rig.device->setServicesEnabled(false);
  EXPECT_FALSE(rig.service->locationServicesEnabled());
  rig.device->setAuthorizationStatus(kCLAuthorizationStatusRestricted);
  EXPECT_EQ(rig.service->authorizationStatus(), kCLAuthorizationStatusNotDetermined);

  EXPECT_EQ(makeCombinedLocationService({}), nullptr);
  EXPECT_EQ(makeCombinedLocationService({rig.consent, nullptr}), nullptr);
}

// A callback run whose consent member never answers: the held fix never comes, and the run's
// 10-second timeout ends the position wait with no position.
TEST(CombinedRules, ACallbackRunsTimeoutComesFirst) {
  const auto dispatcher = VirtualDispatcher::create();
  const auto consent = std::make_shared<ConsentFakeService>(
      dispatcher, answeredAt(ConsentScript::Answer::never, 0.0));
  const auto device = SimulatedDevice::create(
      scenarioOf(R"({"location": {"events": [{"after": 1.0, "locations": [[12.5, -45.25]]}]}})"),
      dispatcher);
  const auto platform =
      Platform::create({dispatcher, device->clock(), device->motionService(),
                        makeCombinedLocationService({consent, device->locationService()})});
  const auto collector = PemdorDeviceSensorInfo::init(platform);
  struct Result {
    std::string latitude;
    double at = -1.0;
  };
  const auto result = std::make_shared<Result>();
  collector->processSensorsWithCallBack([result, dispatcher](const std::string& latitude,
                                                             const std::string&,
                                                             const std::optional<std::string>&) {
    result->latitude = latitude;
    result->at = dispatcher->monotonicNow();
  });
  dispatcher->runUntil([&] { return result->at >= 0.0; }, 20.0);
  EXPECT_DOUBLE_EQ(result->at, PemdorDeviceSensorInfo::kLocationTimeout);
  EXPECT_EQ(result->latitude, "");
  EXPECT_EQ(consent->running(), 0);
  EXPECT_EQ(device->locationUpdatesRunning(), 0U);
  dispatcher->runUntilIdle();
}

}  // namespace
}  // namespace pemdor
