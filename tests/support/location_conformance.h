// SPDX-License-Identifier: MIT
#pragma once

// One behavioural suite of the location interface (CLLocationManager and its service), run
// against every location provider on the real dispatcher. A provider's test only says how to
// make one environment:
//
//   struct MyLocationProvider {
//     // Returns false (with a reason) when this machine cannot host the provider's test.
//     static bool usable(std::string& why);
//     // Sets up a source that, while a manager's updates run, delivers a fix at `position()`
//     // again and again (at least a few a second), with the provider's service on `dispatcher`.
//     explicit MyLocationProvider(std::shared_ptr<pemdor::Dispatcher> dispatcher);
//     std::shared_ptr<pemdor::LocationService> service();
//     pemdor::CLLocationCoordinate2D position() const;
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(My, LocationConformance, MyLocationProvider);
//
// Every wait is for events with a generous deadline, never a sleep. That a manager delivers
// nothing more is shown against a witness: a second manager of the same service, started at the
// same moment, that keeps receiving fixes meanwhile.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SkipOrFail.h"
#include "location_recording.h"
#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/Dispatch.h"
#include "pemdor/platform/Platform.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor::location_conformance {

template <typename Provider>
class LocationConformance : public ::testing::Test {
 protected:
  struct Subject {
    std::shared_ptr<CLLocationManager> manager;
    std::shared_ptr<RecordingDelegate> delegate;
  };

  void SetUp() override {
    std::string why;
    if (!Provider::usable(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
    provider_ = std::make_unique<Provider>(dispatcher_);
    service_ = provider_->service();
    ASSERT_NE(service_, nullptr);
  }

  void TearDown() override {
    // Managers stop and go before the provider's source and the dispatcher; no hook runs after
    // the test.
    if (dispatcher_) {
      EXPECT_TRUE(runOnMain(*dispatcher_, [&] {
        for (auto& subject : subjects_) {
          if (subject.manager) subject.manager->stopUpdatingLocation();
        }
      }));
    }
    for (auto& subject : subjects_) {
      if (subject.delegate) subject.delegate->setHook({});
    }
    subjects_.clear();
    service_.reset();
    provider_.reset();
    if (dispatcher_) dispatcher_->shutdown();
  }

  /// A manager made on the main thread, with a recording delegate, as a collector makes one.
  Subject& makeSubject() {
    Subject subject;
    subject.delegate = std::make_shared<RecordingDelegate>(dispatcher_);
    EXPECT_TRUE(runOnMain(*dispatcher_, [&] {
      subject.manager = service_->makeLocationManager();
      subject.manager->setDelegate(subject.delegate);
      subject.manager->setDesiredAccuracy(kCLLocationAccuracyKilometer);
      subject.manager->setDistanceFilter(kCLHeadingFilterNone);
    }));
    subjects_.push_back(std::move(subject));
    return subjects_.back();
  }

  /// Starts every subject in one main-thread task, so that they start at the same moment.
  void startOnMain(std::initializer_list<Subject*> subjects) {
    ASSERT_TRUE(runOnMain(*dispatcher_, [&] {
      for (Subject* subject : subjects) {
        subject->delegate->markStart(true);
        subject->manager->startUpdatingLocation();
        subject->delegate->markStart(false);
      }
    }));
  }

  void stopOnMain(Subject& subject) {
    ASSERT_TRUE(runOnMain(*dispatcher_, [&] { subject.manager->stopUpdatingLocation(); }));
  }

  /// Waits until every callback posted so far has reached the main thread.
  void drainMain() {
    ASSERT_TRUE(runOnMain(*dispatcher_, [] {}));
  }

  /// Every fix of `delegate` was on the main thread, outside start, at the provider's position.
  void expectWellFormed(const RecordingDelegate& delegate, const Subject& subject) {
    EXPECT_EQ(delegate.offMainThread(), 0u);
    EXPECT_EQ(delegate.duringStart(), 0u);
    EXPECT_EQ(delegate.nullLocations(), 0u);
    const auto position = provider_->position();
    for (const auto& event : delegate.events()) {
      EXPECT_EQ(event.manager, subject.manager.get());
      if (event.failure) continue;
      for (const auto& location : event.locations) {
        EXPECT_NEAR(location.latitude, position.latitude, 1e-9);
        EXPECT_NEAR(location.longitude, position.longitude, 1e-9);
      }
    }
  }

  std::shared_ptr<RealDispatcher> dispatcher_;
  std::unique_ptr<Provider> provider_;
  std::shared_ptr<LocationService> service_;
  /// References to subjects stay valid while more are made.
  std::deque<Subject> subjects_;
  /// A count taken inside a hook on the main thread and read by the test afterwards.
  std::atomic<std::size_t> mark_{0};
};

TYPED_TEST_SUITE_P(LocationConformance);

TYPED_TEST_P(LocationConformance, FixesArriveOnTheMainThreadAfterStartReturned) {
  auto& subject = this->makeSubject();
  this->startOnMain({&subject});
  ASSERT_TRUE(subject.delegate->waitForFixes(2));
  this->stopOnMain(subject);
  this->expectWellFormed(*subject.delegate, subject);
  EXPECT_EQ(subject.delegate->failures(), 0u);
  const auto events = subject.delegate->events();
  ASSERT_FALSE(events.empty());
  EXPECT_FALSE(events.front().locations.empty());
}

// A stop made inside a callback, on the main thread, lets nothing more through, even callbacks
// that the provider had already queued.
TYPED_TEST_P(LocationConformance, StopOnTheMainThreadEndsCallbacks) {
  auto& subject = this->makeSubject();
  auto& witness = this->makeSubject();
  subject.delegate->setHook(
      [this, &witness](CLLocationManager& manager, const RecordingDelegate::Event&) {
        manager.stopUpdatingLocation();
        manager.stopUpdatingLocation();
        this->mark_ = witness.delegate->fixes();
      });
  this->startOnMain({&subject, &witness});
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  this->drainMain();
  ASSERT_TRUE(witness.delegate->waitForFixes(this->mark_ + 3));
  this->drainMain();
  EXPECT_EQ(subject.delegate->fixes(), 1u);
  EXPECT_EQ(subject.delegate->failures(), 0u);
  this->expectWellFormed(*subject.delegate, subject);
}

// A stop from another thread ends deliveries once the main thread has seen it.
TYPED_TEST_P(LocationConformance, StopFromAnotherThreadEndsCallbacks) {
  auto& subject = this->makeSubject();
  auto& witness = this->makeSubject();
  this->startOnMain({&subject, &witness});
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  subject.manager->stopUpdatingLocation();
  this->drainMain();
  const std::size_t atStop = subject.delegate->fixes();
  const std::size_t witnessAtStop = witness.delegate->fixes();
  ASSERT_TRUE(witness.delegate->waitForFixes(witnessAtStop + 3));
  this->drainMain();
  EXPECT_EQ(subject.delegate->fixes(), atStop);
  subject.manager->stopUpdatingLocation();
}

TYPED_TEST_P(LocationConformance, StopWithoutStartIsHarmlessAndRepeatable) {
  auto& subject = this->makeSubject();
  subject.manager->stopUpdatingLocation();
  subject.manager->stopUpdatingLocation();
  this->stopOnMain(subject);
  this->stopOnMain(subject);
  this->drainMain();
  EXPECT_TRUE(subject.delegate->events().empty());

  // The manager still works afterwards, and can be started again after a stop.
  this->startOnMain({&subject});
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  this->stopOnMain(subject);
  const std::size_t afterFirstRun = subject.delegate->fixes();
  this->startOnMain({&subject});
  ASSERT_TRUE(subject.delegate->waitForFixes(afterFirstRun + 1));
  this->stopOnMain(subject);
  this->stopOnMain(subject);
  subject.manager->stopUpdatingLocation();
  this->expectWellFormed(*subject.delegate, subject);
}

// Starting a running manager again does nothing more: it delivers at the witness's pace, not
// twice as often. The two managers are counted from the first fix after both have had one: on a
// real service their connections need not begin to deliver at the same moment.
TYPED_TEST_P(LocationConformance, StartingTwiceDeliversOnce) {
  auto& subject = this->makeSubject();
  auto& witness = this->makeSubject();
  constexpr std::size_t kWitnessFixes = 6;
  struct Window {
    std::mutex mutex;
    std::condition_variable closed;
    bool open = false;
    bool done = false;
    std::size_t subjectBase = 0;
    std::size_t witnessBase = 0;
    std::size_t subjectFixes = 0;
  };
  // Shared with the hooks, which may outlive this body when it ends early.
  const auto window = std::make_shared<Window>();
  const auto onFix = [window, &subject, &witness](CLLocationManager&,
                                                  const RecordingDelegate::Event&) {
    {
      std::lock_guard lock(window->mutex);
      if (window->done) return;
      const std::size_t subjectNow = subject.delegate->fixes();
      const std::size_t witnessNow = witness.delegate->fixes();
      if (!window->open) {
        if (subjectNow == 0 || witnessNow == 0) return;
        window->open = true;
        window->subjectBase = subjectNow;
        window->witnessBase = witnessNow;
        return;
      }
      if (witnessNow - window->witnessBase != kWitnessFixes) return;
      window->done = true;
      window->subjectFixes = subjectNow - window->subjectBase;
    }
    subject.manager->stopUpdatingLocation();
    witness.manager->stopUpdatingLocation();
    window->closed.notify_all();
  };
  subject.delegate->setHook(onFix);
  witness.delegate->setHook(onFix);
  ASSERT_TRUE(runOnMain(*this->dispatcher_, [&] {
    subject.manager->startUpdatingLocation();
    subject.manager->startUpdatingLocation();
    witness.manager->startUpdatingLocation();
  }));
  subject.manager->startUpdatingLocation();
  {
    std::unique_lock lock(window->mutex);
    ASSERT_TRUE(
        window->closed.wait_for(lock, std::chrono::seconds(30), [&] { return window->done; }));
  }
  this->drainMain();
  std::lock_guard lock(window->mutex);
  EXPECT_GE(window->subjectFixes, kWitnessFixes - 1);
  EXPECT_LE(window->subjectFixes, kWitnessFixes + 1);
  EXPECT_EQ(subject.delegate->fixes(), window->subjectBase + window->subjectFixes);
}

// The manager holds its delegate weakly: it does not keep it alive, and a delegate that has gone
// receives nothing while the manager runs on.
TYPED_TEST_P(LocationConformance, DelegateIsHeldWeakly) {
  auto& subject = this->makeSubject();
  auto& witness = this->makeSubject();
  EXPECT_EQ(subject.delegate.use_count(), 1);
  std::weak_ptr<RecordingDelegate> gone = subject.delegate;
  this->startOnMain({&subject, &witness});
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  // Released on the main thread, where no callback can be holding it at that moment.
  ASSERT_TRUE(runOnMain(*this->dispatcher_, [&] { subject.delegate.reset(); }));
  EXPECT_TRUE(gone.expired());
  EXPECT_EQ(subject.manager->delegate(), nullptr);
  const std::size_t witnessNow = witness.delegate->fixes();
  ASSERT_TRUE(witness.delegate->waitForFixes(witnessNow + 3));

  // A new delegate set while the manager runs receives the fixes that follow.
  auto next = std::make_shared<RecordingDelegate>(this->dispatcher_);
  subject.manager->setDelegate(next);
  ASSERT_TRUE(next->waitForFixes(1));
  this->stopOnMain(subject);
  EXPECT_EQ(next->offMainThread(), 0u);
}

// A manager that has gone delivers nothing, even what it had already queued.
TYPED_TEST_P(LocationConformance, DestroyedManagerDeliversNothing) {
  auto& subject = this->makeSubject();
  auto& witness = this->makeSubject();
  this->startOnMain({&subject, &witness});
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  std::weak_ptr<CLLocationManager> gone = subject.manager;
  ASSERT_TRUE(runOnMain(*this->dispatcher_, [&] { subject.manager.reset(); }));
  EXPECT_TRUE(gone.expired());
  this->drainMain();
  const std::size_t atEnd = subject.delegate->fixes();
  const std::size_t witnessNow = witness.delegate->fixes();
  ASSERT_TRUE(witness.delegate->waitForFixes(witnessNow + 3));
  this->drainMain();
  EXPECT_EQ(subject.delegate->fixes(), atEnd);
}

// The class-level answers agree with each other, through the service and through a platform,
// and do not change while a manager runs.
TYPED_TEST_P(LocationConformance, AvailabilityAnswersAreConsistent) {
  auto& service = *this->service_;
  EXPECT_FALSE(service.name().empty());
  const bool enabled = service.locationServicesEnabled();
  const auto status = service.authorizationStatus();
  EXPECT_TRUE(enabled);
  EXPECT_TRUE(status == kCLAuthorizationStatusAuthorizedAlways ||
              status == kCLAuthorizationStatusAuthorizedWhenInUse)
      << status;
  const auto platform = Platform::create({this->dispatcher_, nullptr, nullptr, this->service_});
  EXPECT_EQ(platform->locationServicesEnabled(), enabled);
  EXPECT_EQ(platform->authorizationStatus(), status);

  auto& subject = this->makeSubject();
  this->startOnMain({&subject});
  ASSERT_TRUE(subject.delegate->waitForFixes(1));
  EXPECT_EQ(service.locationServicesEnabled(), enabled);
  EXPECT_EQ(service.authorizationStatus(), status);
  this->stopOnMain(subject);
}

REGISTER_TYPED_TEST_SUITE_P(LocationConformance, FixesArriveOnTheMainThreadAfterStartReturned,
                            StopOnTheMainThreadEndsCallbacks, StopFromAnotherThreadEndsCallbacks,
                            StopWithoutStartIsHarmlessAndRepeatable, StartingTwiceDeliversOnce,
                            DelegateIsHeldWeakly, DestroyedManagerDeliversNothing,
                            AvailabilityAnswersAreConsistent);

}  // namespace pemdor::location_conformance
