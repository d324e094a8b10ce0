// SPDX-License-Identifier: MIT
#include "WorkQueue.h"

#include <algorithm>
#include <asio/post.hpp>
#include <cstddef>
#include <utility>

#include "pemdor/internal/TickPath.h"

namespace pemdor::asio_dispatch {

WorkQueue::WorkQueue(std::weak_ptr<asio::io_context> io, int threads, int maxConcurrent)
    : io_(std::move(io)), threads_(std::max(1, threads)), max_(normalized(maxConcurrent)) {}

int WorkQueue::normalized(int count) {
  if (count == OperationQueue::kDefaultMaxConcurrentOperationCount) return count;
  return std::max(1, count);
}

PEMDOR_TICK_PATH int WorkQueue::limitLocked() const {
  return max_ == OperationQueue::kDefaultMaxConcurrentOperationCount ? threads_ : max_;
}

void WorkQueue::post(Task task) {
  if (!task) return;
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      pending_.push_back(std::move(task));
      if (jobs_ < limitLocked()) {
        ++jobs_;
        start = true;
      }
    }
  }
  // A task refused by a closed queue is destroyed here, after the lock is released, because its
  // destructor may post again.
  if (start) startJob();
}

void WorkQueue::runHereOrPost(Task task) {
  if (!task) return;
  if (!beginHere()) {
    post(std::move(task));
    return;
  }
  task();
  task = nullptr;
  endHere();
}

PEMDOR_TICK_PATH bool WorkQueue::beginHere() {
  std::lock_guard lock(mutex_);
  if (closed_ || !pending_.empty() || jobs_ >= limitLocked()) return false;
  ++jobs_;
  return true;
}

PEMDOR_TICK_PATH void WorkQueue::endHere() {
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || pending_.empty() || jobs_ > limitLocked()) {
      --jobs_;
    } else {
      more = true;
    }
  }
  // The tasks that were posted meanwhile, and waited for this slot, go on on the io_context's
  // threads; this job stays counted until that job ends.
  if (more) startJob();
}

bool WorkQueue::runsOn(const asio::io_context& io) const {
  auto mine = io_.lock();
  return mine.get() == &io;
}

void WorkQueue::setMaxConcurrent(int count) {
  int more = 0;
  {
    std::lock_guard lock(mutex_);
    max_ = normalized(count);
    if (!closed_) {
      const auto limit = static_cast<std::size_t>(limitLocked());
      const auto wanted = static_cast<int>(std::min(limit, pending_.size()));
      more = std::max(0, wanted - jobs_);
      jobs_ += more;
    }
  }
  for (int i = 0; i < more; ++i) startJob();
}

int WorkQueue::maxConcurrent() const {
  std::lock_guard lock(mutex_);
  return max_;
}

void WorkQueue::close() {
  std::deque<Task> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(pending_);
  }
  // Destroyed front to back, outside the lock.
  while (!dropped.empty()) dropped.pop_front();
}

void WorkQueue::startJob() {
  if (auto io = io_.lock()) {
    // The job runs only inside io->run(), so the io_context outlives it; holding it strongly here
    // would tie the io_context to its own queued handlers.
    const asio::io_context* context = io.get();
    asio::post(*io, [self = shared_from_this(), context] { self->runJob(*context); });
    return;
  }
  std::lock_guard lock(mutex_);
  --jobs_;
}

void WorkQueue::runJob(const asio::io_context& io) noexcept {
  for (int ran = 0;; ++ran) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (closed_ || pending_.empty() || jobs_ > limitLocked()) {
        --jobs_;
        return;
      }
      if (ran < kTasksPerJob && !io.stopped()) {
        task = std::move(pending_.front());
        pending_.pop_front();
      }
    }
    if (!task) {
      // This job stays counted in jobs_ while it waits at the end of the io_context's queue.
      startJob();
      return;
    }
    task();
  }
}

}  // namespace pemdor::asio_dispatch
