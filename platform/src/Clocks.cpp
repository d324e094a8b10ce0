// SPDX-License-Identifier: MIT
#include <chrono>

#include "pemdor/internal/TickPath.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor {
namespace {

class SystemClock final : public WallClock {
 public:
  PEMDOR_TICK_PATH double timeIntervalSince1970() const override { return internal::wallSeconds(); }
};

class DispatcherClock final : public WallClock {
 public:
  DispatcherClock(std::shared_ptr<Dispatcher> dispatcher, double start)
      : dispatcher_(std::move(dispatcher)), start_(start), origin_(dispatcher_->monotonicNow()) {}
  PEMDOR_TICK_PATH double timeIntervalSince1970() const override {
    return start_ + (dispatcher_->monotonicNow() - origin_);
  }

 private:
  std::shared_ptr<Dispatcher> dispatcher_;
  double start_;
  double origin_;
};

}  // namespace

std::shared_ptr<WallClock> makeSystemClock() {
  return std::make_shared<SystemClock>();
}

std::shared_ptr<WallClock> makeDispatcherClock(std::shared_ptr<Dispatcher> dispatcher,
                                               double start) {
  return std::make_shared<DispatcherClock>(std::move(dispatcher), start);
}

}  // namespace pemdor
