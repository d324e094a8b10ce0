// SPDX-License-Identifier: MIT
#include "HostSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "pemdor/PemdorSensorTable.h"
#include "pemdor/platform/Providers.h"

namespace pemdor::host {
namespace {

// The application id the host gives GeoClue2, which desktops match against a .desktop file.
constexpr const char* kDesktopId = "pemdor-sensors";

// Real time runs one run, so the end of a wait is near: the host sleeps on its own thread.
void sleepSeconds(double seconds) {
  if (seconds > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace

void CompletionBox::deliver(SnapshotResult result) {
  {
    std::lock_guard lock(mutex_);
    if (result_) return;
    result_ = std::move(result);
  }
  delivered_.notify_all();
}

bool CompletionBox::ready() const {
  std::lock_guard lock(mutex_);
  return result_.has_value();
}

std::optional<SnapshotResult> CompletionBox::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

bool CompletionBox::waitFor(double seconds) {
  std::unique_lock lock(mutex_);
  if (seconds > 0.0) {
    delivered_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return result_.has_value(); });
  }
  return result_.has_value();
}

std::unique_ptr<HostSession> HostSession::open(const Options& options) {
  std::optional<SimScenario> scenario;
  if (options.scenarioPath) {
    SimScenarioResult loaded = loadSimScenarioFile(*options.scenarioPath);
    if (!loaded) {
      throw UsageError(
          loaded.error.empty() ? "cannot read the scenario " + *options.scenarioPath : loaded.error,
          false);
    }
    scenario = std::move(loaded.scenario);
  }
  const ProviderRequest request = providerRequest(options);
  const ProviderChoice choice = chooseProviders(request, lookForProviders(request));
  if (!choice.note.empty()) std::fputs(("pemdor-sensors: " + choice.note + "\n").c_str(), stderr);
  auto session = build(choice, options.virtualTime, scenario.value_or(SimScenario{}));
  if (session->device_) {
    session->scenarioReport_ = options.scenarioPath ? *options.scenarioPath : "built-in default";
  }
  return session;
}

std::unique_ptr<HostSession> HostSession::build(const ProviderChoice& choice, bool virtualTime,
                                                const SimScenario& scenario) {
  auto session = std::make_unique<HostSession>();
  session->motionReport_ = choice.motionReport;
  session->locationReport_ = choice.locationReport;

  std::shared_ptr<Dispatcher> dispatcher;
  if (virtualTime) {
    session->virtual_ = VirtualDispatcher::create();
    dispatcher = session->virtual_;
  } else {
    session->real_ = RealDispatcher::create();
    dispatcher = session->real_;
  }
  if (!dispatcher) throw HostFailure("the dispatcher could not be started");

  const bool simMotion = choice.motion == MotionChoice::sim;
  const bool simLocation = choice.location == LocationChoice::sim ||
                           std::find(choice.locationMembers.begin(), choice.locationMembers.end(),
                                     LocationChoice::sim) != choice.locationMembers.end();
  if (simMotion || simLocation) {
    session->device_ = SimulatedDevice::create(scenario, dispatcher);
    if (!session->device_) throw HostFailure("the simulated device could not be made");
  }
  if (simMotion && choice.location == LocationChoice::sim) {
    session->platform_ = session->device_->platform();
    if (!session->platform_) throw HostFailure("the platform could not be made");
    return session;
  }

  Platform::Services services;
  services.dispatcher = dispatcher;
  // Readings are stamped by the clock of the device that makes them.
  services.clock = simMotion ? session->device_->clock() : makeSystemClock();
  if (simMotion) {
    services.motion = session->device_->motionService();
  } else if (choice.motionCombined) {
    services.motion = makeLinuxMotionService(dispatcher);
  } else if (choice.motion == MotionChoice::evdev) {
    services.motion = makeEvdevMotionService(dispatcher);
  } else {
    services.motion = makeIioMotionService(dispatcher);
  }
  if (!services.motion) {
    throw UsageError(choice.motion == MotionChoice::evdev
                         ? "--motion evdev: the input-device motion provider did not start"
                         : "--motion iio: the IIO motion provider did not start",
                     false);
  }
  const auto makeLocation = [&](LocationChoice location) {
    std::shared_ptr<LocationService> service;
    switch (location) {
      case LocationChoice::sim:
        service = session->device_->locationService();
        break;
      case LocationChoice::gpsd:
        service = makeGpsdLocationService(dispatcher, choice.gpsd);
        break;
      case LocationChoice::geoclue:
        service = makeGeoclueLocationService(dispatcher, {kDesktopId});
        break;
      case LocationChoice::automatic:
      case LocationChoice::none:
      case LocationChoice::combined:
        service = makeNoLocationService();
        break;
    }
    if (!service) {
      throw UsageError(location == LocationChoice::geoclue
                           ? "--location geoclue: the GeoClue2 location provider did not start"
                           : "--location gpsd: the gpsd location provider did not start",
                       false);
    }
    return service;
  };
  if (choice.location == LocationChoice::combined) {
    std::vector<std::shared_ptr<LocationService>> members;
    for (const LocationChoice member : choice.locationMembers) {
      members.push_back(makeLocation(member));
    }
    services.location = makeCombinedLocationService(std::move(members));
    if (!services.location) throw HostFailure("the combined location service could not be made");
  } else {
    services.location = makeLocation(choice.location);
  }
  session->platform_ = Platform::create(std::move(services));
  if (!session->platform_) throw HostFailure("the platform could not be made");
  return session;
}

HostSession::~HostSession() {
  if (real_) real_->shutdown();
  if (virtual_) {
    // Whatever is still scheduled (at most the location timeout of a callback run) runs now, so
    // that no task keeps the collector and the platform alive past the end.
    virtual_->runUntil([] { return false; }, kLocationWaitSeconds + 1.0);
  }
}

std::shared_ptr<PemdorDeviceSensorInfo> HostSession::makeCollector() const {
  auto collector = PemdorDeviceSensorInfo::init(platform_);
  if (!collector) throw HostFailure("the collector could not be made on this platform");
  return collector;
}

double HostSession::now() const {
  return platform_->dispatcher().monotonicNow();
}

void HostSession::waitUntil(double when) {
  if (virtual_) {
    const double remaining = when - now();
    if (remaining > 0.0) virtual_->advanceBy(remaining);
    return;
  }
  sleepSeconds(when - now());
}

WaitOutcome HostSession::waitFor(CompletionBox& box, double when) {
  if (!virtual_) return box.waitFor(when - now()) ? WaitOutcome::delivered : WaitOutcome::timedOut;
  const double remaining = std::max(0.0, when - now());
  if (virtual_->runUntil([&] { return box.ready(); }, remaining)) return WaitOutcome::delivered;
  return virtual_->hasPendingWork() ? WaitOutcome::timedOut : WaitOutcome::idle;
}

}  // namespace pemdor::host
