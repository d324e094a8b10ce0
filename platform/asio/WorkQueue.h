// SPDX-License-Identifier: MIT
#pragma once

// Internal to the Asio dispatcher; not installed.

#include <asio/io_context.hpp>
#include <deque>
#include <memory>
#include <mutex>

#include "pemdor/platform/Dispatch.h"

namespace pemdor::asio_dispatch {

// A FIFO of tasks run by the threads of one io_context: tasks start in the order they were
// posted and at most `maxConcurrent` of them run at once. Every queue of the real dispatcher
// (main, global and work queues) is one of these, so that every task not yet run lives in a
// place that shutdown can empty.
//
// The queue posts jobs, not tasks, to the io_context: a job takes tasks from the front one after
// another, so a burst on a serial queue costs one job per kTasksPerJob tasks. After that many
// tasks, or once the io_context has been stopped, a job hands the rest back to the end of the
// io_context's queue, so that other queues on the same threads get their turn and a stopped
// main loop returns after the task it was running.
//
// All members may be called from any thread. No lock is held while a task runs or is destroyed.
class WorkQueue : public std::enable_shared_from_this<WorkQueue> {
 public:
  static constexpr int kTasksPerJob = 64;

  // `threads` is how many threads run `io`: the limit that
  // OperationQueue::kDefaultMaxConcurrentOperationCount stands for.
  WorkQueue(std::weak_ptr<asio::io_context> io, int threads, int maxConcurrent);
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // Adds `task` at the end. After close() the task is destroyed instead, on the calling thread.
  void post(Task task);

  // Runs `task` on the calling thread, counted as one of the queue's jobs, when the queue could
  // start it at once: nothing waits before it and a job slot is free. Otherwise it is posted as
  // by post(). Tasks posted while it runs are handed to the io_context afterwards. For a thread
  // that would otherwise only post the task and wake one of the io_context's threads for it.
  void runHereOrPost(Task task);

  // runHereOrPost() in two steps, for a caller that runs something other than a Task: true when
  // the queue could start a task at once, which the caller then runs on its own thread, counted
  // as one of the queue's jobs, and follows with endHere(). False when it could not, and the
  // caller posts the task instead.
  bool beginHere();
  void endHere();

  // Whether the queue's jobs run on `io`.
  bool runsOn(const asio::io_context& io) const;

  // Values below 1 other than kDefaultMaxConcurrentOperationCount are stored as 1. A larger
  // limit starts more jobs at once; a smaller one takes effect as running tasks finish.
  void setMaxConcurrent(int count);
  int maxConcurrent() const;

  // Destroys the tasks not yet started, on the calling thread, and every task posted from now
  // on. Tasks already running finish normally.
  void close();

 private:
  static int normalized(int count);
  int limitLocked() const;
  // Posts one job to the io_context; the caller has already counted it in jobs_.
  void startJob();
  void runJob(const asio::io_context& io) noexcept;

  const std::weak_ptr<asio::io_context> io_;
  const int threads_;
  mutable std::mutex mutex_;
  std::deque<Task> pending_;
  // Jobs posted and not yet finished, whether waiting in the io_context or running a task.
  int jobs_ = 0;
  int max_;
  bool closed_ = false;
};

}  // namespace pemdor::asio_dispatch
