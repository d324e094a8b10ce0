// SPDX-License-Identifier: MIT
#pragma once

// A location service that decides consent, as GeoClue2 does, driven by a script on any
// dispatcher (virtual time in the combined service's rule tests): after a start it answers at a
// given moment (allowed, refused, a failure that is not a refusal, or never), and once allowed
// it delivers fixes at given moments and may fail later (the service leaving).

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor::combined_testing {

struct ConsentScript {
  enum class Answer { allow, refuse, fail, never };
  Answer answer = Answer::allow;
  /// Seconds after the start at which the start is answered.
  double answerAfter = 1.0;
  /// Seconds after the start of each fix, delivered only once the start was allowed.
  std::vector<double> fixesAfter;
  /// Seconds after the start of a failure of an allowed run (the service leaving).
  std::optional<double> leaveAfter;
  CLLocationCoordinate2D position{1.0, 2.0};
};

inline constexpr const char* kConsentSource = "consent";
inline constexpr const char* kRefusedDomain = "test.consent.refused";
inline constexpr const char* kNoReplyDomain = "test.consent.no-reply";
inline constexpr const char* kLeftDomain = "test.consent.left";

class ConsentFakeService final : public LocationService,
                                 public std::enable_shared_from_this<ConsentFakeService> {
 public:
  ConsentFakeService(std::shared_ptr<Dispatcher> dispatcher, ConsentScript script)
      : dispatcher_(std::move(dispatcher)), script_(std::move(script)) {}

  std::string name() const override { return "consent"; }
  bool locationServicesEnabled() override {
    std::lock_guard guard(mutex_);
    return enabled_;
  }
  CLAuthorizationStatus authorizationStatus() override {
    std::lock_guard guard(mutex_);
    return status_;
  }
  std::shared_ptr<CLLocationManager> makeLocationManager() override;
  bool decidesConsent() const override { return true; }

  void set(bool enabled, CLAuthorizationStatus status) {
    std::lock_guard guard(mutex_);
    enabled_ = enabled;
    status_ = status;
  }
  /// Managers whose updates run now.
  int running() const {
    std::lock_guard guard(mutex_);
    return running_;
  }
  /// The accuracy and filter of the latest start.
  std::pair<CLLocationAccuracy, CLLocationDistance> lastSettings() const {
    std::lock_guard guard(mutex_);
    return lastSettings_;
  }

 private:
  friend class ConsentFakeManager;

  const std::shared_ptr<Dispatcher> dispatcher_;
  const ConsentScript script_;
  mutable std::mutex mutex_;
  bool enabled_ = true;
  CLAuthorizationStatus status_ = kCLAuthorizationStatusAuthorizedWhenInUse;
  int running_ = 0;
  std::pair<CLLocationAccuracy, CLLocationDistance> lastSettings_{0.0, 0.0};
};

class ConsentFakeManager final : public CLLocationManager,
                                 public std::enable_shared_from_this<ConsentFakeManager> {
 public:
  explicit ConsentFakeManager(std::shared_ptr<ConsentFakeService> service)
      : service_(std::move(service)) {}
  ~ConsentFakeManager() override { stopUpdatingLocation(); }

  void startUpdatingLocation() override {
    std::uint64_t run = 0;
    {
      std::lock_guard guard(service_->mutex_);
      if (running_) return;
      running_ = true;
      run = ++run_;
      ++service_->running_;
      service_->lastSettings_ = {desiredAccuracy(), distanceFilter()};
    }
    const ConsentScript& script = service_->script_;
    if (script.answer != ConsentScript::Answer::never) {
      at(run, script.answerAfter, [](ConsentFakeManager& self) { self.answer(); });
    }
  }

  void stopUpdatingLocation() override {
    std::lock_guard guard(service_->mutex_);
    if (!running_) return;
    running_ = false;
    ++run_;
    --service_->running_;
  }

 private:
  template <typename Step>
  void at(std::uint64_t run, double after, Step step) {
    Dispatcher& dispatcher = *service_->dispatcher_;
    dispatcher.scheduleAt(dispatcher.monotonicNow() + after, dispatcher.mainQueue(),
                          [weak = weak_from_this(), run, step] {
                            const auto self = weak.lock();
                            if (self && self->current(run)) step(*self);
                          });
  }

  bool current(std::uint64_t run) const {
    std::lock_guard guard(service_->mutex_);
    return running_ && run_ == run;
  }
  std::uint64_t run() const {
    std::lock_guard guard(service_->mutex_);
    return run_;
  }

  /// Ends the run by itself, as a failure does.
  void end() {
    std::lock_guard guard(service_->mutex_);
    if (running_) --service_->running_;
    running_ = false;
    ++run_;
  }

  void answer() {
    const ConsentScript& script = service_->script_;
    const double now = service_->dispatcher_->monotonicNow();
    switch (script.answer) {
      case ConsentScript::Answer::allow: {
        const std::uint64_t current = run();
        const double startedAt = now - script.answerAfter;
        notifyDidChangeAuthorization(kCLAuthorizationStatusAuthorizedWhenInUse);
        for (const double after : script.fixesAfter) {
          at(current, std::max(0.0, startedAt + after - now), [](ConsentFakeManager& self) {
            self.notifyDidUpdateLocations({std::make_shared<const CLLocation>(
                self.service_->script_.position, kConsentSource)});
          });
        }
        if (script.leaveAfter) {
          at(current, std::max(0.0, startedAt + *script.leaveAfter - now),
             [](ConsentFakeManager& self) {
               self.end();
               self.notifyDidFailWithError({kLeftDomain, 5, "the service left the bus"});
             });
        }
        break;
      }
      case ConsentScript::Answer::refuse:
        end();
        notifyDidChangeAuthorization(kCLAuthorizationStatusDenied);
        notifyDidFailWithError({kRefusedDomain, 1, "Start: refused by the user"});
        break;
      case ConsentScript::Answer::fail:
        end();
        notifyDidFailWithError({kNoReplyDomain, 4, "CreateClient: no reply within the bound"});
        break;
      case ConsentScript::Answer::never:
        break;
    }
  }

  const std::shared_ptr<ConsentFakeService> service_;
  bool running_ = false;
  std::uint64_t run_ = 0;
};

inline std::shared_ptr<CLLocationManager> ConsentFakeService::makeLocationManager() {
  return std::make_shared<ConsentFakeManager>(shared_from_this());
}

}  // namespace pemdor::combined_testing
