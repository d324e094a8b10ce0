// SPDX-License-Identifier: MIT
#pragma once

// A thread that runs one stream's device reads (internal to the IIO provider), so that a device
// that is slow to answer (some I2C sensors take a second or more for a sysfs read) holds up only
// its own stream, never the others.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace pemdor::iio {

class StreamWorker {
 public:
  StreamWorker() = default;
  StreamWorker(const StreamWorker&) = delete;
  StreamWorker& operator=(const StreamWorker&) = delete;

  /// Waits for the job under way, if any, and ends the thread; a job not yet begun is dropped.
  ~StreamWorker() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      job_ = nullptr;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  /// Runs `job` on the worker's thread after the job under way, if any. The owner gives a new
  /// job only once the last one has told it that it finished, so at most one waits.
  void run(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      job_ = std::move(job);
      if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
    }
    wake_.notify_all();
  }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return quit_ || job_; });
      if (quit_) return;
      std::function<void()> job = std::exchange(job_, nullptr);
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void()> job_;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace pemdor::iio
