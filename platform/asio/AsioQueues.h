// SPDX-License-Identifier: MIT
#pragma once

// The queue classes of the Asio dispatcher and how its timers recognise them. Internal to the
// Asio dispatcher; not installed.

#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

#include "WorkQueue.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor::asio_dispatch {

// A queue of this dispatcher that exposes its WorkQueue to the timers.
class WorkQueueFace {
 public:
  virtual const std::shared_ptr<WorkQueue>& work() const = 0;
  // Whether the queue's jobs run on the dispatcher's pool (false for the main queue).
  virtual bool onPool() const = 0;

 protected:
  ~WorkQueueFace() = default;
};

// The main queue and the global queue.
class AsioDispatchQueue final : public DispatchQueue, public WorkQueueFace {
 public:
  AsioDispatchQueue(std::shared_ptr<WorkQueue> work, std::string label, bool onPool)
      : work_(std::move(work)), label_(std::move(label)), onPool_(onPool) {}
  void async(Task task) override { work_->post(std::move(task)); }
  std::string label() const override { return label_; }
  const std::shared_ptr<WorkQueue>& work() const override { return work_; }
  bool onPool() const override { return onPool_; }

 private:
  std::shared_ptr<WorkQueue> work_;
  std::string label_;
  bool onPool_;
};

class AsioOperationQueue final : public OperationQueue, public WorkQueueFace {
 public:
  AsioOperationQueue(std::shared_ptr<WorkQueue> work, std::string label)
      : work_(std::move(work)), label_(std::move(label)) {}
  void async(Task task) override { work_->post(std::move(task)); }
  std::string label() const override { return label_; }
  void setMaxConcurrentOperationCount(int count) override { work_->setMaxConcurrent(count); }
  int maxConcurrentOperationCount() const override { return work_->maxConcurrent(); }
  const std::shared_ptr<WorkQueue>& work() const override { return work_; }
  bool onPool() const override { return true; }

 private:
  std::shared_ptr<WorkQueue> work_;
  std::string label_;
};

// The face of one of the two queue classes, or null for a queue of the host's. Both classes
// are final, so comparing the dynamic type is enough, and much cheaper per timer than a
// cross-cast, which searches the class hierarchy and compares type names.
inline const WorkQueueFace* faceOf(const DispatchQueue& queue) {
  if (typeid(queue) == typeid(AsioOperationQueue)) {
    return static_cast<const AsioOperationQueue*>(&queue);
  }
  if (typeid(queue) == typeid(AsioDispatchQueue)) {
    return static_cast<const AsioDispatchQueue*>(&queue);
  }
  return nullptr;
}

}  // namespace pemdor::asio_dispatch
