// SPDX-License-Identifier: MIT
// The combined location service: managers that run a manager of every member service at once,
// hand on the fixes of whichever member has one, and let the member that knows the user's
// consent decide for all. The rules are stated with the factory in Providers.h.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

/// A fix as a member delivered it, so that it can be handed on in the same shape later.
struct HeldFix {
  bool list = true;
  std::vector<CLLocationRef> locations;
  CLLocationRef newLocation;
  CLLocationRef oldLocation;
};

/// How much an authorisation status is worth when no member decides consent: authorised first,
/// then undecided, then refused.
int rankOf(CLAuthorizationStatus status) {
  if (status == kCLAuthorizationStatusAuthorizedAlways) return 4;
  if (status == kCLAuthorizationStatusAuthorizedWhenInUse) return 3;
  if (status == kCLAuthorizationStatusNotDetermined) return 2;
  if (status == kCLAuthorizationStatusRestricted) return 1;
  return 0;
}

class CombinedLocationManager;

/// The delegate of one member's manager during one run of the combined manager: it names the
/// member and the run, and holds the combined manager weakly.
class MemberDelegate final : public CLLocationManagerDelegate {
 public:
  MemberDelegate(std::weak_ptr<CombinedLocationManager> owner, std::size_t member,
                 RunToken::Ticket ticket)
      : owner_(std::move(owner)), member_(member), ticket_(std::move(ticket)) {}

  void locationManagerDidUpdateLocations(CLLocationManager&,
                                         const std::vector<CLLocationRef>& locations) override;
  void locationManagerDidUpdateToLocation(CLLocationManager&, const CLLocationRef& newLocation,
                                          const CLLocationRef& oldLocation) override;
  void locationManagerDidFailWithError(CLLocationManager&, const NSError& error) override;
  void locationManagerDidChangeAuthorization(CLLocationManager&,
                                             CLAuthorizationStatus status) override;

 private:
  const std::weak_ptr<CombinedLocationManager> owner_;
  const std::size_t member_;
  const RunToken::Ticket ticket_;
};

/// A manager of the combined service. Every member callback arrives on the main thread, so the
/// decisions are made there; start and stop may come from any thread.
///
/// Two locks: `control_` orders the starts and stops of the member managers (a start or stop of
/// this manager, and the end of a run that a member callback decides), so that a run's members
/// are never started after its stop; `state_` guards what the callbacks decide on and is never
/// held while a member manager or the delegate is called. Member managers never call back inside
/// their start or stop, so holding `control_` around those calls cannot deadlock.
class CombinedLocationManager final : public CLLocationManager,
                                      public std::enable_shared_from_this<CombinedLocationManager> {
 public:
  CombinedLocationManager(std::vector<std::shared_ptr<CLLocationManager>> managers,
                          std::vector<std::string> names, std::optional<std::size_t> consent)
      : managers_(std::move(managers)), names_(std::move(names)), consent_(consent) {}

  ~CombinedLocationManager() override { stopUpdatingLocation(); }
  CombinedLocationManager(const CombinedLocationManager&) = delete;
  CombinedLocationManager& operator=(const CombinedLocationManager&) = delete;

  void startUpdatingLocation() override;
  void stopUpdatingLocation() override;

  // From the member delegates, on the main thread.
  void memberFix(std::size_t member, const RunToken::Ticket& ticket, HeldFix fix);
  void memberFailed(std::size_t member, const RunToken::Ticket& ticket, const NSError& error);
  void memberAuthorization(std::size_t member, const RunToken::Ticket& ticket,
                           CLAuthorizationStatus status);

 private:
  /// Where the consent member stands in the current run.
  enum class Consent { none, waiting, granted, refused, droppedOut };

  /// Hands fixes to the delegate while `ticket` is current; no lock held.
  void deliver(const RunToken::Ticket& ticket, const std::vector<HeldFix>& fixes);
  /// Ends the run of `ticket`, if it is still current, stops every member and hands `error` to
  /// the delegate: the run's last callback.
  void failRun(const RunToken::Ticket& ticket, const NSError& error);
  /// The error of a run in which every member failed. Called with `state_` held.
  NSError allFailedError() const;

  const std::vector<std::shared_ptr<CLLocationManager>> managers_;
  const std::vector<std::string> names_;
  const std::optional<std::size_t> consent_;

  std::mutex control_;
  RunToken token_;
  /// The member delegates of the latest run, guarded by `control_`.
  std::vector<std::shared_ptr<MemberDelegate>> delegates_;

  std::mutex state_;
  Consent consentState_ = Consent::none;
  /// The latest fix held back while the consent member has not answered.
  std::optional<HeldFix> held_;
  /// Each member's failure in this run, in the order they came.
  std::vector<std::optional<NSError>> failures_;
  std::vector<std::size_t> failureOrder_;
};

void MemberDelegate::locationManagerDidUpdateLocations(
    CLLocationManager&, const std::vector<CLLocationRef>& locations) {
  if (auto owner = owner_.lock()) owner->memberFix(member_, ticket_, {true, locations, {}, {}});
}

void MemberDelegate::locationManagerDidUpdateToLocation(CLLocationManager&,
                                                        const CLLocationRef& newLocation,
                                                        const CLLocationRef& oldLocation) {
  if (auto owner = owner_.lock()) {
    owner->memberFix(member_, ticket_, {false, {}, newLocation, oldLocation});
  }
}

void MemberDelegate::locationManagerDidFailWithError(CLLocationManager&, const NSError& error) {
  if (auto owner = owner_.lock()) owner->memberFailed(member_, ticket_, error);
}

void MemberDelegate::locationManagerDidChangeAuthorization(CLLocationManager&,
                                                           CLAuthorizationStatus status) {
  if (auto owner = owner_.lock()) owner->memberAuthorization(member_, ticket_, status);
}

void CombinedLocationManager::startUpdatingLocation() {
  std::lock_guard control(control_);
  if (token_.running()) return;
  const RunToken::Ticket ticket = token_.begin();
  {
    std::lock_guard state(state_);
    consentState_ = consent_ ? Consent::waiting : Consent::none;
    held_.reset();
    failures_.assign(managers_.size(), std::nullopt);
    failureOrder_.clear();
  }
  const CLLocationAccuracy accuracy = desiredAccuracy();
  const CLLocationDistance filter = distanceFilter();
  // A fresh delegate per run: callbacks of an earlier run carry its ticket and are dropped. The
  // members hold their delegates weakly; this manager keeps them.
  delegates_.clear();
  for (std::size_t i = 0; i < managers_.size(); ++i) {
    delegates_.push_back(std::make_shared<MemberDelegate>(weak_from_this(), i, ticket));
    managers_[i]->setDelegate(delegates_.back());
    managers_[i]->setDesiredAccuracy(accuracy);
    managers_[i]->setDistanceFilter(filter);
  }
  for (const auto& manager : managers_) manager->startUpdatingLocation();
}

void CombinedLocationManager::stopUpdatingLocation() {
  std::lock_guard control(control_);
  token_.end();
  for (const auto& manager : managers_) manager->stopUpdatingLocation();
  std::lock_guard state(state_);
  held_.reset();
}

void CombinedLocationManager::memberFix(std::size_t member, const RunToken::Ticket& ticket,
                                        HeldFix fix) {
  std::vector<HeldFix> out;
  {
    std::lock_guard state(state_);
    if (!ticket.current()) return;
    switch (consentState_) {
      case Consent::refused:
        return;
      case Consent::waiting:
        if (member != *consent_) {
          held_ = std::move(fix);
          return;
        }
        // A fix of the consent member itself means its start was allowed.
        consentState_ = Consent::granted;
        if (held_) out.push_back(std::move(*held_));
        held_.reset();
        break;
      case Consent::none:
      case Consent::granted:
      case Consent::droppedOut:
        break;
    }
    out.push_back(std::move(fix));
  }
  deliver(ticket, out);
}

void CombinedLocationManager::memberAuthorization(std::size_t member,
                                                  const RunToken::Ticket& ticket,
                                                  CLAuthorizationStatus status) {
  std::vector<HeldFix> out;
  {
    std::lock_guard state(state_);
    if (!ticket.current() || !consent_ || member != *consent_ ||
        consentState_ != Consent::waiting) {
      return;
    }
    if (isAuthorized(status)) {
      consentState_ = Consent::granted;
      if (held_) out.push_back(std::move(*held_));
    } else if (status == kCLAuthorizationStatusDenied ||
               status == kCLAuthorizationStatusRestricted) {
      // Nothing of any member reaches the delegate from now on; the refusal itself follows as
      // the consent member's failure.
      consentState_ = Consent::refused;
    } else {
      return;
    }
    held_.reset();
  }
  // The answer is handed on, so that a combined service can itself be the consent member of
  // another.
  if (ticket.current()) notifyDidChangeAuthorization(status);
  deliver(ticket, out);
}

void CombinedLocationManager::memberFailed(std::size_t member, const RunToken::Ticket& ticket,
                                           const NSError& error) {
  std::vector<HeldFix> out;
  std::optional<NSError> ending;
  {
    std::lock_guard state(state_);
    if (!ticket.current() || failures_[member]) return;
    failures_[member] = error;
    failureOrder_.push_back(member);
    if (consent_ && member == *consent_) {
      if (consentState_ == Consent::refused) {
        ending = error;
      } else if (consentState_ == Consent::waiting) {
        // Failed for another reason than a refusal: it drops out, and consent no longer waits.
        consentState_ = Consent::droppedOut;
        if (held_) out.push_back(std::move(*held_));
        held_.reset();
      }
    }
    if (!ending && failureOrder_.size() == managers_.size()) ending = allFailedError();
  }
  deliver(ticket, out);
  if (ending) failRun(ticket, *ending);
}

NSError CombinedLocationManager::allFailedError() const {
  const NSError& last = *failures_[failureOrder_.back()];
  std::string description = "every location service failed: ";
  for (std::size_t i = 0; i < failureOrder_.size(); ++i) {
    const std::size_t member = failureOrder_[i];
    description +=
        (i == 0 ? "" : "; ") + names_[member] + ": " + failures_[member]->localizedDescription;
  }
  return {last.domain, last.code, std::move(description)};
}

void CombinedLocationManager::deliver(const RunToken::Ticket& ticket,
                                      const std::vector<HeldFix>& fixes) {
  for (const HeldFix& fix : fixes) {
    if (!ticket.current()) return;
    if (fix.list) {
      notifyDidUpdateLocations(fix.locations);
    } else {
      notifyDidUpdateToLocation(fix.newLocation, fix.oldLocation);
    }
  }
}

void CombinedLocationManager::failRun(const RunToken::Ticket& ticket, const NSError& error) {
  {
    std::lock_guard control(control_);
    if (!ticket.end()) return;
    for (const auto& manager : managers_) manager->stopUpdatingLocation();
  }
  {
    std::lock_guard state(state_);
    held_.reset();
  }
  notifyDidFailWithError(error);
}

class CombinedLocationService final : public LocationService {
 public:
  explicit CombinedLocationService(std::vector<std::shared_ptr<LocationService>> members)
      : members_(std::move(members)) {
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (!consent_ && members_[i]->decidesConsent()) consent_ = i;
    }
  }

  std::string name() const override { return "combined"; }

  bool locationServicesEnabled() override {
    return std::any_of(members_.begin(), members_.end(),
                       [](const auto& member) { return member->locationServicesEnabled(); });
  }

  CLAuthorizationStatus authorizationStatus() override {
    // The consent member answers while its service is there; otherwise the best answer of the
    // members that are there, and of all of them when none is.
    if (consent_ && members_[*consent_]->locationServicesEnabled()) {
      return members_[*consent_]->authorizationStatus();
    }
    std::optional<CLAuthorizationStatus> best;
    std::optional<CLAuthorizationStatus> bestOfAll;
    for (const auto& member : members_) {
      const CLAuthorizationStatus status = member->authorizationStatus();
      if (!bestOfAll || rankOf(status) > rankOf(*bestOfAll)) bestOfAll = status;
      if (member->locationServicesEnabled() && (!best || rankOf(status) > rankOf(*best))) {
        best = status;
      }
    }
    return best.value_or(bestOfAll.value_or(kCLAuthorizationStatusNotDetermined));
  }

  std::shared_ptr<CLLocationManager> makeLocationManager() override {
    std::vector<std::shared_ptr<CLLocationManager>> managers;
    std::vector<std::string> names;
    for (const auto& member : members_) {
      auto manager = member->makeLocationManager();
      if (!manager) return nullptr;
      managers.push_back(std::move(manager));
      names.push_back(member->name());
    }
    return std::make_shared<CombinedLocationManager>(std::move(managers), std::move(names),
                                                     consent_);
  }

  bool decidesConsent() const override { return consent_.has_value(); }

 private:
  const std::vector<std::shared_ptr<LocationService>> members_;
  std::optional<std::size_t> consent_;
};

}  // namespace

std::shared_ptr<LocationService> makeCombinedLocationService(
    std::vector<std::shared_ptr<LocationService>> members) {
  if (members.empty()) return nullptr;
  if (std::any_of(members.begin(), members.end(), [](const auto& m) { return m == nullptr; })) {
    return nullptr;
  }
  return std::make_shared<CombinedLocationService>(std::move(members));
}

}  // namespace pemdor
