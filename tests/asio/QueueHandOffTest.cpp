// SPDX-License-Identifier: MIT
// A provider thread's hand-over of a task to a queue: run on the calling thread where the queue
// could start it at once, posted everywhere else, with the queue's order and limit kept.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pemdor/internal/QueueHandOff.h"
#include "pemdor/platform/RealDispatcher.h"

namespace pemdor {
namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

// Waits until `queue` has run everything posted to it so far.
void drain(DispatchQueue& queue) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  queue.async([done] { done->set_value(); });
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready);
}

class CountingQueue final : public OperationQueue {
 public:
  explicit CountingQueue(std::shared_ptr<OperationQueue> inner) : inner_(std::move(inner)) {}
  void async(Task task) override {
    ++posted;
    inner_->async(std::move(task));
  }
  std::string label() const override { return "counting"; }
  void setMaxConcurrentOperationCount(int count) override {
    inner_->setMaxConcurrentOperationCount(count);
  }
  int maxConcurrentOperationCount() const override { return inner_->maxConcurrentOperationCount(); }
  std::atomic<int> posted{0};

 private:
  std::shared_ptr<OperationQueue> inner_;
};

TEST(QueueHandOffTest, RunsHereOnlyWhereTheQueueCouldStartTheTaskAtOnce) {
  auto d = RealDispatcher::create({.ownMainThread = true, .globalThreads = 2});
  auto serial = d->makeOperationQueue("serial");
  serial->setMaxConcurrentOperationCount(1);
  const auto me = std::this_thread::get_id();

  // An idle work queue, and the global queue: the task runs inside the call, on this thread.
  for (const std::shared_ptr<DispatchQueue>& queue :
       {std::static_pointer_cast<DispatchQueue>(serial), d->globalQueue()}) {
    std::thread::id ranOn;
    internal::runHereOrAsync(*queue, [&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, me) << queue->label();
  }

  // The main queue keeps its one thread, and a queue of the host's is only posted to.
  auto onMain = std::make_shared<std::promise<bool>>();
  auto mainFuture = onMain->get_future();
  internal::runHereOrAsync(*d->mainQueue(), [&d, onMain] { onMain->set_value(d->isMainThread()); });
  ASSERT_EQ(mainFuture.wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(mainFuture.get());
  auto hosts = std::make_shared<CountingQueue>(d->makeOperationQueue("inner"));
  std::atomic<bool> hostRanHere{false};
  internal::runHereOrAsync(*hosts, [&] { hostRanHere = std::this_thread::get_id() == me; });
  drain(*hosts);
  EXPECT_EQ(hosts->posted.load(), 2);
  EXPECT_FALSE(hostRanHere.load());

  // A busy serial queue: the task waits for the one running and for the one posted before it,
  // and never runs beside them.
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  std::mutex mutex;
  std::vector<std::string> order;
  std::atomic<int> running{0}, overlaps{0};
  const auto step = [&](std::string name) {
    if (running.fetch_add(1) != 0) ++overlaps;
    {
      std::lock_guard lock(mutex);
      order.push_back(std::move(name));
    }
    running.fetch_sub(1);
  };
  std::promise<void> started;
  serial->async([&, opened] {
    started.set_value();
    opened.wait_for(kDeadline);
    step("running");
  });
  ASSERT_EQ(started.get_future().wait_for(kDeadline), std::future_status::ready);
  serial->async([&] { step("posted"); });
  std::thread::id handedOn;
  internal::runHereOrAsync(*serial, [&] {
    handedOn = std::this_thread::get_id();
    step("handed");
  });
  gate.set_value();
  drain(*serial);
  EXPECT_EQ(order, (std::vector<std::string>{"running", "posted", "handed"}));
  EXPECT_NE(handedOn, me);
  EXPECT_EQ(overlaps.load(), 0);

  // After shutdown the task is refused and destroyed, not run.
  d->shutdown();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  bool ran = false;
  internal::runHereOrAsync(*serial, [&ran, token = std::move(token)] { ran = true; });
  EXPECT_FALSE(ran);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace pemdor
