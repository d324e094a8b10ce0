#pragma once

// The real dispatcher, on Asio: a main run loop, a thread pool for the global queue, work
// queues on that pool and steady timers. It costs nothing while idle: its threads block until
// there is work, with no polling and no periodic wake-ups.

#include <memory>

#include "pemdor/platform/Dispatch.h"

namespace pemdor {

class RealDispatcher : public Dispatcher {
 public:
  struct Options {
    /// True: the dispatcher runs the main loop on a thread of its own. False: the host calls
    /// runMainLoop() on the thread it wants as the main thread.
    bool ownMainThread = true;
    /// Threads of the global queue; 0 means the hardware concurrency, at least 2.
    unsigned globalThreads = 0;
  };

  static std::shared_ptr<RealDispatcher> create();
  static std::shared_ptr<RealDispatcher> create(Options options);

  /// Runs the main loop on the calling thread until stopMainLoop() (only with
  /// ownMainThread = false; otherwise returns at once).
  virtual void runMainLoop() = 0;
  /// Makes runMainLoop() return once the task it is running has finished.
  virtual void stopMainLoop() = 0;

  /// Stops every thread and drops the tasks not yet run. Called by the destructor; safe to call
  /// more than once, but not from one of the dispatcher's own threads.
  virtual void shutdown() = 0;
};

}  // namespace pemdor
