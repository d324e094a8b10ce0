// SPDX-License-Identifier: MIT
// What the tests of a motion provider on fake devices share (the IIO and input-device providers
// under umockdev): a recorder of a handler's deliveries, and a fixture that makes the provider's
// manager over a testbed, a real dispatcher and one serial queue. Sampling runs on the
// provider's own thread in real time, so the tests wait for deliveries with a generous deadline
// instead of sleeping.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SkipOrFail.h"
#include "pemdor/platform/Providers.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor::test {

// How long a test waits for what a provider's thread is to deliver.
constexpr auto kProviderDeadline = std::chrono::seconds(10);

// One call of a motion handler.
struct Delivery {
  std::optional<CMVector> vector;
  std::optional<NSError> error;
};

// Keeps every delivery of one handler. The handler shares the record, so a delivery that runs
// after the test body is harmless.
class Recorder {
 public:
  CMMotionManager::VectorHandler handler() {
    return [state = state_](const CMVector* v, const NSError* e) {
      {
        std::lock_guard lock(state->mutex);
        state->deliveries.push_back(
            {v ? std::optional(*v) : std::nullopt, e ? std::optional(*e) : std::nullopt});
      }
      state->changed.notify_all();
    };
  }

  // Waits until `done` holds for the deliveries so far.
  bool waitUntil(const std::function<bool(const std::vector<Delivery>&)>& done) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, kProviderDeadline,
                                    [&] { return done(state_->deliveries); });
  }
  bool waitFor(std::size_t count) {
    return waitUntil([count](const auto& d) { return d.size() >= count; });
  }
  // Waits for a delivered vector that `matches`.
  bool waitForVector(const std::function<bool(const CMVector&)>& matches) {
    return waitUntil([&](const auto& deliveries) {
      return !deliveries.empty() && deliveries.back().vector && matches(*deliveries.back().vector);
    });
  }
  std::vector<Delivery> deliveries() const {
    std::lock_guard lock(state_->mutex);
    return state_->deliveries;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A provider's manager over a fresh Testbed (a type with a static inMockEnvironment() and a
// default constructor), a real dispatcher and a serial queue. The tests need umockdev's preload;
// without it they skip, or fail in CI.
template <typename Testbed>
class ProviderTest : public ::testing::Test {
 protected:
  using MakeService = std::function<std::shared_ptr<MotionService>(std::shared_ptr<Dispatcher>)>;

  // `name` names the queue and the tests in the message of a skip; streams start at `interval`.
  ProviderTest(MakeService makeService, std::string name, double interval)
      : makeService_(std::move(makeService)), name_(std::move(name)), interval_(interval) {}

  void SetUp() override {
    if (!Testbed::inMockEnvironment()) {
      PEMDOR_SKIP_OR_FAIL_IN_CI("the " + name_ + " tests run under umockdev-wrapper");
    }
    testbed_ = std::make_unique<Testbed>();
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
    queue_ = dispatcher_->makeOperationQueue(name_ + "-test");
    queue_->setMaxConcurrentOperationCount(1);
    service_ = makeService_(dispatcher_);
    ASSERT_NE(service_, nullptr);
    manager_ = service_->makeMotionManager();
  }

  void TearDown() override {
    manager_.reset();
    if (queue_) drain();
    if (dispatcher_) dispatcher_->shutdown();
    testbed_.reset();
  }

  // Returns once everything queued so far has run.
  void drain() {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    queue_->async([done] { done->set_value(); });
    ASSERT_EQ(future.wait_for(kProviderDeadline), std::future_status::ready);
  }

  void start(MotionStream stream, Recorder& recorder) {
    manager_->setUpdateInterval(stream, interval_);
    manager_->startUpdates(stream, queue_, recorder.handler());
  }

  std::unique_ptr<Testbed> testbed_;
  std::shared_ptr<RealDispatcher> dispatcher_;
  std::shared_ptr<OperationQueue> queue_;
  std::shared_ptr<MotionService> service_;
  std::shared_ptr<CMMotionManager> manager_;

 private:
  MakeService makeService_;
  std::string name_;
  double interval_;
};

}  // namespace pemdor::test
