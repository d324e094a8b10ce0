#include "DefaultProviders.h"

namespace pemdor::detail {

std::shared_ptr<MotionService> makeDefaultMotionService(const std::shared_ptr<Dispatcher>&) {
  return makeNoMotionService();
}

std::shared_ptr<LocationService> makeDefaultLocationService(const std::shared_ptr<Dispatcher>&) {
  return makeNoLocationService();
}

}  // namespace pemdor::detail
