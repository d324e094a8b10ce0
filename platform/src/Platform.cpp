// SPDX-License-Identifier: MIT
#include "pemdor/platform/Platform.h"

#include <mutex>
#include <utility>
#include <vector>

#include "DefaultProviders.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

// The process default platform is the one piece of global mutable state. At exit, the
// dispatchers that the library made for it are shut down: their threads end, and the tasks still
// pending (a location timeout holds its collector for ten seconds) are released.
struct DefaultSlot {
  std::shared_ptr<Platform> platform;
  std::vector<std::weak_ptr<RealDispatcher>> made;
  ~DefaultSlot() {
    platform.reset();
    for (auto& weak : made) {
      if (auto dispatcher = weak.lock()) dispatcher->shutdown();
    }
  }
};

std::mutex& defaultMutex() {
  static std::mutex mutex;
  return mutex;
}
DefaultSlot& defaultSlot() {
  static DefaultSlot slot;
  return slot;
}

}  // namespace

Platform::Platform(Services services) : services_(std::move(services)) {
  if (!services_.dispatcher) services_.dispatcher = RealDispatcher::create();
  if (!services_.clock) services_.clock = makeSystemClock();
  if (!services_.motion) services_.motion = makeNoMotionService();
  if (!services_.location) services_.location = makeNoLocationService();
}

std::shared_ptr<Platform> Platform::create(Services services) {
  return std::make_shared<Platform>(std::move(services));
}

std::shared_ptr<Platform> Platform::defaultPlatform() {
  std::lock_guard guard(defaultMutex());
  auto& slot = defaultSlot();
  if (!slot.platform) {
    auto dispatcher = RealDispatcher::create();
    Services services;
    services.dispatcher = dispatcher;
    services.clock = makeSystemClock();
    services.motion = detail::makeDefaultMotionService(services.dispatcher);
    services.location = detail::makeDefaultLocationService(services.dispatcher);
    slot.platform = create(std::move(services));
    slot.made.push_back(dispatcher);
  }
  return slot.platform;
}

void Platform::setDefaultPlatform(std::shared_ptr<Platform> platform) {
  std::shared_ptr<Platform> previous;
  {
    std::lock_guard guard(defaultMutex());
    previous = std::exchange(defaultSlot().platform, std::move(platform));
  }
  // The previous platform (and its threads) is released outside the lock.
}

std::shared_ptr<CMMotionManager> Platform::makeMotionManager() const {
  return services_.motion->makeMotionManager();
}

std::shared_ptr<CLLocationManager> Platform::makeLocationManager() const {
  return services_.location->makeLocationManager();
}

bool Platform::locationServicesEnabled() const {
  return services_.location->locationServicesEnabled();
}

CLAuthorizationStatus Platform::authorizationStatus() const {
  return services_.location->authorizationStatus();
}

std::string Platform::describe() const {
  return "motion: " + services_.motion->name() + ", location: " + services_.location->name();
}

}  // namespace pemdor
