// SPDX-License-Identifier: MIT
#pragma once

// The parts of the simulated device that its motion and location services share. Not installed.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor::sim {

// A location event with its locations made once, so that firing it only hands out references.
struct PreparedEvent {
  double after = 0.0;
  SimLocationEvent::Kind kind = SimLocationEvent::Kind::locations;
  std::vector<CLLocationRef> locations;
  CLLocationRef location;
  CLLocationRef from;
};

// What every manager of one device reads and counts. The scenario and the prepared events never
// change after creation; the controls and counters are atomics, read and written from any thread.
struct DeviceState {
  DeviceState(SimScenario scenarioIn, std::shared_ptr<Dispatcher> dispatcherIn);

  const SimScenario scenario;
  const std::shared_ptr<Dispatcher> dispatcher;
  const std::vector<PreparedEvent> events;

  std::array<std::atomic<bool>, kMotionStreamCount> available;
  std::atomic<bool> servicesEnabled;
  std::atomic<CLAuthorizationStatus> authorizationStatus;

  std::array<std::atomic<std::uint64_t>, kMotionStreamCount> deliveriesHanded{};
  std::atomic<std::size_t> activeStreams{0};
  std::atomic<std::size_t> locationUpdatesRunning{0};
  std::atomic<std::size_t> locationManagersMade{0};
};

// The reading number `index` (from 0) of a stream without scripted readings: a phone lying still,
// screen up, on a table. A pure function of its arguments.
CMVector stillPhoneReading(MotionStream stream, std::uint64_t index);

std::shared_ptr<MotionService> makeSimMotionService(std::shared_ptr<DeviceState> device);
std::shared_ptr<LocationService> makeSimLocationService(std::shared_ptr<DeviceState> device);

}  // namespace pemdor::sim
