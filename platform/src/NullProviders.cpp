// SPDX-License-Identifier: MIT
#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"

namespace pemdor {
namespace {

// A motion manager without sensors. It keeps the intervals it is given so that it behaves like
// any other manager to a caller, but never starts a stream.
class NoMotionManager final : public CMMotionManager {
 public:
  bool isAvailable(MotionStream) const override { return false; }
  void setUpdateInterval(MotionStream stream, double seconds) override {
    intervals_[static_cast<std::size_t>(stream)].store(seconds);
  }
  double updateInterval(MotionStream stream) const override {
    return intervals_[static_cast<std::size_t>(stream)].load();
  }
  void startUpdates(MotionStream, std::shared_ptr<OperationQueue>, VectorHandler) override {}
  void stopUpdates(MotionStream) override {}
  bool isActive(MotionStream) const override { return false; }

 private:
  std::array<std::atomic<double>, kMotionStreamCount> intervals_{
      kDefaultUpdateInterval, kDefaultUpdateInterval, kDefaultUpdateInterval,
      kDefaultUpdateInterval};
};

class NoMotionService final : public MotionService {
 public:
  std::string name() const override { return "none"; }
  std::shared_ptr<CMMotionManager> makeMotionManager() override {
    return std::make_shared<NoMotionManager>();
  }
};

class NoLocationManager final : public CLLocationManager {
 public:
  void startUpdatingLocation() override {}
  void stopUpdatingLocation() override {}
};

class NoLocationService final : public LocationService {
 public:
  std::string name() const override { return "none"; }
  bool locationServicesEnabled() override { return false; }
  CLAuthorizationStatus authorizationStatus() override {
    return kCLAuthorizationStatusNotDetermined;
  }
  std::shared_ptr<CLLocationManager> makeLocationManager() override {
    return std::make_shared<NoLocationManager>();
  }
};

}  // namespace

std::shared_ptr<MotionService> makeNoMotionService() { return std::make_shared<NoMotionService>(); }
std::shared_ptr<LocationService> makeNoLocationService() {
  return std::make_shared<NoLocationService>();
}

}  // namespace pemdor
