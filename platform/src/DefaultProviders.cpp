#include "DefaultProviders.h"

#include "pemdor/platform/Providers.h"

namespace pemdor::detail {

std::shared_ptr<MotionService> makeDefaultMotionService(
    const std::shared_ptr<Dispatcher>& dispatcher) {
  if (iioMotionDevicesPresent()) {
    if (auto service = makeIioMotionService(dispatcher)) return service;
  }
  return makeNoMotionService();
}

std::shared_ptr<LocationService> makeDefaultLocationService(
    const std::shared_ptr<Dispatcher>& dispatcher) {
  if (gpsdAnswers(GpsdEndpoint{})) {
    if (auto service = makeGpsdLocationService(dispatcher)) return service;
  }
  return makeNoLocationService();
}

}  // namespace pemdor::detail
