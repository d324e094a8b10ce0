// SPDX-License-Identifier: MIT
#pragma once

// The objects behind the C interface's handles, for the library's own bindings (the Python
// module) that build on the C interface and need the C++ objects too. Not installed.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/platform/Platform.h"
#include "pemdor/platform/RealDispatcher.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor::capi {

/// What a platform handle and every collector made on it share. The last holder, handle or
/// collector, ends the platform's own dispatcher: a virtual one runs out its pending work (so
/// that no task keeps a collector alive), a real one is shut down.
struct PlatformCore {
  std::shared_ptr<Platform> platform;
  /// Set for a simulated device in virtual time.
  std::shared_ptr<VirtualDispatcher> virtualDispatcher;
  /// Set for a simulated device in real time (the default platform's dispatcher is not ours).
  std::shared_ptr<RealDispatcher> realDispatcher;
  std::shared_ptr<SimulatedDevice> device;

  PlatformCore() = default;
  PlatformCore(const PlatformCore&) = delete;
  PlatformCore& operator=(const PlatformCore&) = delete;
  ~PlatformCore();
};

/// Guards a collector's completions against the collector's release: once closed, no
/// completion starts, and close() waits for one running on another thread to return.
class CompletionGate {
 public:
  /// Marks a completion as running; false when the gate is closed (the completion is dropped).
  bool enter();
  void leave();
  /// After this returns, no completion runs, except one on the calling thread that called it.
  void close();

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  bool closed_ = false;
  // The threads running a completion now. A completion that frees its own collector must not
  // wait for itself.
  std::vector<std::thread::id> running_;
};

}  // namespace pemdor::capi

struct pemdor_platform {
  std::shared_ptr<pemdor::capi::PlatformCore> core;
};

struct pemdor_collector {
  std::shared_ptr<pemdor::capi::PlatformCore> core;
  std::shared_ptr<pemdor::PemdorDeviceSensorInfo> collector;
  std::shared_ptr<pemdor::capi::CompletionGate> gate;
};
