// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The real dispatcher: a main run loop and a thread pool for the global queue on Asio, work
/// queues on that pool, and timers on a thread of their own. It costs nothing while idle: its
/// threads block until there is work, with no polling and no periodic wake-ups.
///
/// Threads: the main thread (its own, or the host's inside runMainLoop()), the global pool, which
/// also runs every work queue, and one thread that waits for timers and posts each due task to
/// its queue. A due task of the global queue or a work queue that its queue could start at once
/// runs on the timer thread itself, in that queue's order and within its concurrency limit, so a
/// periodic timer wakes one thread per tick; such a task delays other timers until it returns.
/// A task that throws ends the process (std::terminate).

#include <memory>

#include "pemdor/platform/Dispatch.h"

namespace pemdor {

/// The dispatcher of real hosts (see the file's description for its threads).
class RealDispatcher : public Dispatcher {
 public:
  /// How the dispatcher's threads are set up.
  struct Options {
    /// True: the dispatcher runs the main loop on a thread of its own. False: the host calls
    /// runMainLoop() on the thread it wants as the main thread.
    bool ownMainThread = true;
    /// Threads of the global queue; 0 means the hardware concurrency, at least 2.
    unsigned globalThreads = 0;
  };

  /// A running dispatcher with the default options: its own main thread, a global pool as wide
  /// as the hardware.
  static std::shared_ptr<RealDispatcher> create();
  /// A running dispatcher with `options`.
  static std::shared_ptr<RealDispatcher> create(Options options);

  /// Runs the main loop on the calling thread, which is the main thread while it runs, until
  /// stopMainLoop() or shutdown(). Only with ownMainThread = false; otherwise, or while another
  /// thread runs the loop, or after shutdown(), returns at once. Tasks posted to the main queue
  /// before the call wait for it. May be called again after it returned.
  virtual void runMainLoop() = 0;
  /// Any thread. Makes runMainLoop() return once the task it is running has finished; the tasks
  /// after it wait for the next runMainLoop(). Does nothing while no host loop is running.
  virtual void stopMainLoop() = 0;

  /// Any thread. Stops every thread and destroys the tasks and timers not yet run, on the calling
  /// thread; tasks posted or scheduled afterwards (also by those destructors) are destroyed at
  /// once. Waits for tasks running on other threads, including a host thread inside
  /// runMainLoop(), to return. Called from a task of this dispatcher (or by the destructor run
  /// there), it does not wait for the calling thread: that thread ends once its task returns.
  /// Called by the destructor; safe to call more than once.
  virtual void shutdown() = 0;
};

}  // namespace pemdor
