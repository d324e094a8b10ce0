// SPDX-License-Identifier: MIT
#pragma once

// One behavioural suite of the motion interface (CMMotionManager), run against every motion
// provider on the real dispatcher. A provider's test only says how to make one environment:
//
//   struct MyMotionProvider {
//     // Returns false (with a reason) when this machine cannot host the provider's test.
//     static bool usable(std::string& why);
//     // Sets up a device on which `unavailableStream()` is missing and every other stream
//     // exists, with the provider's service on `dispatcher`.
//     explicit MyMotionProvider(std::shared_ptr<pemdor::Dispatcher> dispatcher);
//     std::shared_ptr<pemdor::MotionService> service();
//     pemdor::MotionStream unavailableStream() const;
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(My, MotionConformance, MyMotionProvider);
//
// Deliveries are counted in real time with a short update interval; every wait is for events
// (a number of deliveries, a drained queue) with a generous deadline, never a sleep.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SkipOrFail.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor::motion_conformance {

inline constexpr double kTestInterval = 0.01;
inline constexpr auto kDeadline = std::chrono::seconds(10);

// A serial queue that marks the thread while one of its own tasks runs, so that a handler can
// tell whether it was called through this queue.
class MarkedQueue final : public OperationQueue {
 public:
  explicit MarkedQueue(std::shared_ptr<OperationQueue> inner) : inner_(std::move(inner)) {
    inner_->setMaxConcurrentOperationCount(1);
  }

  void async(Task task) override {
    inner_->async([this, task = std::move(task)] {
      current() = this;
      task();
      current() = nullptr;
    });
  }
  std::string label() const override { return "marked " + inner_->label(); }
  void setMaxConcurrentOperationCount(int) override {}
  int maxConcurrentOperationCount() const override { return 1; }

  bool onThisQueue() const { return current() == this; }

  // Waits until every task posted before this call has run.
  bool drain() {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    async([done] { done->set_value(); });
    return future.wait_for(kDeadline) == std::future_status::ready;
  }

 private:
  static const MarkedQueue*& current() {
    thread_local const MarkedQueue* queue = nullptr;
    return queue;
  }
  std::shared_ptr<OperationQueue> inner_;
};

// Counts the deliveries of one handler and what it saw of its calling thread. The handler shares
// the counts, so a late delivery after the log is gone stays harmless.
class DeliveryLog {
 public:
  explicit DeliveryLog(std::shared_ptr<MarkedQueue> queue)
      : state_(std::make_shared<State>(std::move(queue))) {}

  CMMotionManager::VectorHandler handler(std::function<void()> onDelivery = {}) {
    return [state = state_, onDelivery = std::move(onDelivery)](const CMVector*, const NSError*) {
      {
        std::lock_guard lock(state->mutex);
        ++state->count;
        if (!state->queue->onThisQueue()) ++state->offQueue;
        if (state->insideStart.load()) ++state->duringStart;
      }
      state->changed.notify_all();
      if (onDelivery) onDelivery();
    };
  }

  bool waitFor(std::size_t count) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, kDeadline, [&] { return state_->count >= count; });
  }
  std::size_t count() const { return read(&State::count); }
  std::size_t offQueue() const { return read(&State::offQueue); }
  std::size_t duringStart() const { return read(&State::duringStart); }
  // Brackets a start call, to catch a handler called inside it.
  void markStart(bool inside) { state_->insideStart.store(inside); }

 private:
  struct State {
    explicit State(std::shared_ptr<MarkedQueue> q) : queue(std::move(q)) {}
    std::shared_ptr<MarkedQueue> queue;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t count = 0;
    std::size_t offQueue = 0;
    std::size_t duringStart = 0;
    std::atomic<bool> insideStart{false};
  };

  std::size_t read(std::size_t State::*field) const {
    std::lock_guard lock(state_->mutex);
    return (*state_).*field;
  }

  std::shared_ptr<State> state_;
};

template <typename Provider>
class MotionConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!Provider::usable(why)) PEMDOR_SKIP_OR_FAIL_IN_CI(why);
    dispatcher_ = RealDispatcher::create();
    ASSERT_NE(dispatcher_, nullptr);
    provider_ = std::make_unique<Provider>(dispatcher_);
    manager_ = provider_->service()->makeMotionManager();
    ASSERT_NE(manager_, nullptr);
    queue_ = std::make_shared<MarkedQueue>(dispatcher_->makeOperationQueue("conformance"));
    for (MotionStream stream : kAllMotionStreams) {
      if (stream != provider_->unavailableStream()) available_.push_back(stream);
    }
    ASSERT_GE(available_.size(), 2u) << "the suite needs two available streams";
  }

  void TearDown() override {
    manager_.reset();
    if (queue_) queue_->drain();
    provider_.reset();
    if (dispatcher_) dispatcher_->shutdown();
  }

  void start(MotionStream stream, DeliveryLog& log, std::function<void()> onDelivery = {}) {
    manager_->setUpdateInterval(stream, kTestInterval);
    log.markStart(true);
    manager_->startUpdates(stream, queue_, log.handler(std::move(onDelivery)));
    log.markStart(false);
  }

  std::shared_ptr<RealDispatcher> dispatcher_;
  std::unique_ptr<Provider> provider_;
  std::shared_ptr<CMMotionManager> manager_;
  std::shared_ptr<MarkedQueue> queue_;
  std::vector<MotionStream> available_;
};

TYPED_TEST_SUITE_P(MotionConformance);

TYPED_TEST_P(MotionConformance, availabilityAnswersAndIntervalsAreKept) {
  auto& m = *this->manager_;
  for (MotionStream stream : this->available_) {
    EXPECT_TRUE(m.isAvailable(stream)) << motionStreamName(stream);
  }
  EXPECT_FALSE(m.isAvailable(this->provider_->unavailableStream()));
  EXPECT_EQ(m.isAccelerometerAvailable(), m.isAvailable(MotionStream::accelerometer));
  EXPECT_EQ(m.isGyroAvailable(), m.isAvailable(MotionStream::gyro));
  EXPECT_EQ(m.isMagnetometerAvailable(), m.isAvailable(MotionStream::magnetometer));
  EXPECT_EQ(m.isDeviceMotionAvailable(), m.isAvailable(MotionStream::deviceMotion));

  for (MotionStream stream : kAllMotionStreams) {
    EXPECT_DOUBLE_EQ(m.updateInterval(stream), CMMotionManager::kDefaultUpdateInterval);
    m.setUpdateInterval(stream, 0.05);
    EXPECT_DOUBLE_EQ(m.updateInterval(stream), 0.05);
    // Unusable intervals give the provider's shortest one: positive and finite.
    for (double bad : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
      m.setUpdateInterval(stream, bad);
      EXPECT_GT(m.updateInterval(stream), 0.0) << bad;
      EXPECT_LE(m.updateInterval(stream), 0.05) << bad;
    }
  }
}

TYPED_TEST_P(MotionConformance, deliversOnTheGivenQueueUntilStopped) {
  auto& m = *this->manager_;
  const MotionStream stopped = this->available_[0];
  const MotionStream running = this->available_[1];
  DeliveryLog stoppedLog(this->queue_);
  DeliveryLog runningLog(this->queue_);
  this->start(stopped, stoppedLog);
  this->start(running, runningLog);
  EXPECT_TRUE(m.isActive(stopped));
  EXPECT_TRUE(m.isActive(running));
  ASSERT_TRUE(stoppedLog.waitFor(3));

  m.stopUpdates(stopped);
  EXPECT_FALSE(m.isActive(stopped));
  EXPECT_TRUE(m.isActive(running));
  ASSERT_TRUE(this->queue_->drain());
  const std::size_t atStop = stoppedLog.count();
  // The running stream is the clock: while it delivers five more, the stopped one delivers none.
  ASSERT_TRUE(runningLog.waitFor(runningLog.count() + 5));
  EXPECT_EQ(stoppedLog.count(), atStop);

  m.stopUpdates(running);
  EXPECT_FALSE(m.isActive(running));
  for (const DeliveryLog* log : {&stoppedLog, &runningLog}) {
    EXPECT_EQ(log->offQueue(), 0u);
    EXPECT_EQ(log->duringStart(), 0u);
  }
}

TYPED_TEST_P(MotionConformance, everyAvailableStreamDelivers) {
  std::vector<std::unique_ptr<DeliveryLog>> logs;
  for (MotionStream stream : this->available_) {
    logs.push_back(std::make_unique<DeliveryLog>(this->queue_));
    this->start(stream, *logs.back());
  }
  for (std::size_t i = 0; i < logs.size(); ++i) {
    EXPECT_TRUE(logs[i]->waitFor(3)) << motionStreamName(this->available_[i]);
    EXPECT_EQ(logs[i]->offQueue(), 0u);
  }
  for (MotionStream stream : this->available_) this->manager_->stopUpdates(stream);
}

TYPED_TEST_P(MotionConformance, stoppingWhatWasNeverStartedIsHarmless) {
  auto& m = *this->manager_;
  for (int round = 0; round < 2; ++round) {
    for (MotionStream stream : kAllMotionStreams) {
      m.stopUpdates(stream);
      EXPECT_FALSE(m.isActive(stream));
    }
  }
  // The manager still works afterwards, and a second stop of a stopped stream changes nothing.
  DeliveryLog log(this->queue_);
  this->start(this->available_[0], log);
  EXPECT_TRUE(log.waitFor(2));
  m.stopUpdates(this->available_[0]);
  m.stopUpdates(this->available_[0]);
  EXPECT_FALSE(m.isActive(this->available_[0]));
}

TYPED_TEST_P(MotionConformance, restartReplacesTheHandler) {
  auto& m = *this->manager_;
  const MotionStream stream = this->available_[0];
  DeliveryLog first(this->queue_);
  DeliveryLog second(this->queue_);
  this->start(stream, first);
  ASSERT_TRUE(first.waitFor(2));
  this->start(stream, second);
  EXPECT_TRUE(m.isActive(stream));
  ASSERT_TRUE(this->queue_->drain());
  const std::size_t firstAtRestart = first.count();
  ASSERT_TRUE(second.waitFor(5));
  EXPECT_EQ(first.count(), firstAtRestart);
  m.stopUpdates(stream);
  EXPECT_FALSE(m.isActive(stream));
}

TYPED_TEST_P(MotionConformance, startingAnUnavailableStreamDoesNothing) {
  auto& m = *this->manager_;
  const MotionStream missing = this->provider_->unavailableStream();
  DeliveryLog missingLog(this->queue_);
  DeliveryLog clock(this->queue_);
  this->start(missing, missingLog);
  EXPECT_FALSE(m.isActive(missing));
  this->start(this->available_[0], clock);
  ASSERT_TRUE(clock.waitFor(5));
  EXPECT_EQ(missingLog.count(), 0u);
  m.stopUpdates(missing);
  m.stopUpdates(this->available_[0]);
}

// A handler that stops its own stream runs on the queue while the provider may be sampling;
// the stop must neither wait for the queue nor let the stream deliver again.
TYPED_TEST_P(MotionConformance, handlerMayStopItsOwnStream) {
  auto& m = *this->manager_;
  const MotionStream stream = this->available_[0];
  DeliveryLog log(this->queue_);
  DeliveryLog clock(this->queue_);
  auto stoppedInside = std::make_shared<std::atomic<bool>>(false);
  this->start(stream, log, [&m, stream, stoppedInside] {
    if (!stoppedInside->exchange(true)) m.stopUpdates(stream);
  });
  this->start(this->available_[1], clock);
  ASSERT_TRUE(log.waitFor(1));
  ASSERT_TRUE(this->queue_->drain());
  EXPECT_FALSE(m.isActive(stream));
  const std::size_t atStop = log.count();
  ASSERT_TRUE(clock.waitFor(clock.count() + 5));
  EXPECT_EQ(log.count(), atStop);
  m.stopUpdates(this->available_[1]);
}

// Releasing a manager with running streams ends its deliveries and its threads.
TYPED_TEST_P(MotionConformance, releasingARunningManagerEndsDeliveries) {
  DeliveryLog log(this->queue_);
  for (MotionStream stream : this->available_) this->start(stream, log);
  ASSERT_TRUE(log.waitFor(3));
  this->manager_.reset();
  ASSERT_TRUE(this->queue_->drain());
  const std::size_t atRelease = log.count();
  // A fresh manager on the same queue is the clock.
  auto other = this->provider_->service()->makeMotionManager();
  DeliveryLog clock(this->queue_);
  other->setUpdateInterval(this->available_[0], kTestInterval);
  other->startUpdates(this->available_[0], this->queue_, clock.handler());
  ASSERT_TRUE(clock.waitFor(5));
  EXPECT_EQ(log.count(), atRelease);
  other->stopUpdates(this->available_[0]);
}

REGISTER_TYPED_TEST_SUITE_P(MotionConformance, availabilityAnswersAndIntervalsAreKept,
                            deliversOnTheGivenQueueUntilStopped, everyAvailableStreamDelivers,
                            stoppingWhatWasNeverStartedIsHarmless, restartReplacesTheHandler,
                            startingAnUnavailableStreamDoesNothing, handlerMayStopItsOwnStream,
                            releasingARunningManagerEndsDeliveries);

}  // namespace pemdor::motion_conformance
