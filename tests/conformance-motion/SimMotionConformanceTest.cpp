// SPDX-License-Identifier: MIT
// The motion conformance suite against the simulated device on the real dispatcher, with the
// magnetometer switched off.

#include <memory>
#include <string>

#include "motion_conformance.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor {
namespace {

class SimMotionProvider {
 public:
  static bool usable(std::string&) { return true; }

  explicit SimMotionProvider(std::shared_ptr<Dispatcher> dispatcher) {
    SimScenario scenario;
    scenario.streams[static_cast<std::size_t>(MotionStream::magnetometer)].available = false;
    device_ = SimulatedDevice::create(std::move(scenario), std::move(dispatcher));
  }

  std::shared_ptr<MotionService> service() { return device_->motionService(); }
  MotionStream unavailableStream() const { return MotionStream::magnetometer; }

 private:
  std::shared_ptr<SimulatedDevice> device_;
};

}  // namespace

namespace motion_conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Sim, MotionConformance, SimMotionProvider);
}  // namespace motion_conformance

}  // namespace pemdor
