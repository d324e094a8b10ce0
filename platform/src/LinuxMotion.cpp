// SPDX-License-Identifier: MIT
// The motion service of a Linux machine: each stream from an IIO device where one serves it,
// otherwise from an input device. The choice is made at each start, so a controller plugged in
// after the manager was made serves the streams that no IIO device serves.

#include <array>
#include <memory>
#include <mutex>
#include <utility>

#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/platform/Providers.h"

namespace pemdor {
namespace {

class LinuxMotionManager final : public CMMotionManager {
 public:
  LinuxMotionManager(std::shared_ptr<CMMotionManager> iio, std::shared_ptr<CMMotionManager> input)
      : iio_(std::move(iio)), input_(std::move(input)) {}

  bool isAvailable(MotionStream stream) const override {
    return (iio_ && iio_->isAvailable(stream)) || (input_ && input_->isAvailable(stream));
  }

  void setUpdateInterval(MotionStream stream, double seconds) override {
    if (iio_) iio_->setUpdateInterval(stream, seconds);
    if (input_) input_->setUpdateInterval(stream, seconds);
  }

  double updateInterval(MotionStream stream) const override {
    return (iio_ ? iio_ : input_)->updateInterval(stream);
  }

  void startUpdates(MotionStream stream, std::shared_ptr<OperationQueue> queue,
                    VectorHandler handler) override {
    CMMotionManager* chosen = nullptr;
    CMMotionManager* other = nullptr;
    if (iio_ && iio_->isAvailable(stream)) {
      chosen = iio_.get();
      other = input_.get();
    } else if (input_ && input_->isAvailable(stream)) {
      chosen = input_.get();
      other = iio_.get();
    }
    if (!chosen) return;
    // A restart may move the stream from one provider to the other.
    if (other) other->stopUpdates(stream);
    chosen->startUpdates(stream, std::move(queue), std::move(handler));
  }

  void stopUpdates(MotionStream stream) override {
    if (iio_) iio_->stopUpdates(stream);
    if (input_) input_->stopUpdates(stream);
  }

  bool isActive(MotionStream stream) const override {
    return (iio_ && iio_->isActive(stream)) || (input_ && input_->isActive(stream));
  }

 private:
  std::shared_ptr<CMMotionManager> iio_;
  std::shared_ptr<CMMotionManager> input_;
};

class LinuxMotionService final : public MotionService {
 public:
  LinuxMotionService(std::shared_ptr<MotionService> iio, std::shared_ptr<MotionService> input)
      : iio_(std::move(iio)), input_(std::move(input)) {}

  std::string name() const override { return "iio+evdev"; }
  std::shared_ptr<CMMotionManager> makeMotionManager() override {
    return std::make_shared<LinuxMotionManager>(iio_->makeMotionManager(),
                                                input_->makeMotionManager());
  }

 private:
  std::shared_ptr<MotionService> iio_;
  std::shared_ptr<MotionService> input_;
};

}  // namespace

std::shared_ptr<MotionService> makeLinuxMotionService(std::shared_ptr<Dispatcher> dispatcher) {
  auto iio = makeIioMotionService(dispatcher);
  auto input = makeEvdevMotionService(dispatcher);
  if (!iio || !input) return iio ? iio : input;
  return std::make_shared<LinuxMotionService>(std::move(iio), std::move(input));
}

ProviderPresence evdevMotionPresence() {
  if (!evdevProviderBuilt()) return ProviderPresence::notBuilt;
  return evdevMotionDevicesPresent() ? ProviderPresence::present : ProviderPresence::absent;
}

}  // namespace pemdor
