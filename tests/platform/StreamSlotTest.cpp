// SPDX-License-Identifier: MIT
#include "pemdor/internal/StreamSlot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace pemdor {
namespace {

using Log = std::vector<std::string>;
using Handler = std::function<void(int)>;

// A handler whose destruction is seen: the slot must hand the replaced one back to the caller
// rather than destroy it under the caller's lock.
struct Witness {
  std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
  ~Witness() { gone->store(true); }
};

TEST(StreamSlotTest, LateDeliveriesOfAStoppedOrRestartedRunAreDropped) {
  auto d = VirtualDispatcher::create();
  auto queue = d->makeOperationQueue();
  Log log;
  StreamSlot<Handler> slot;
  EXPECT_FALSE(slot.delivery()) << "a stopped stream has nothing to deliver";

  (void)slot.start(queue, [&](int v) { log.push_back("first " + std::to_string(v)); });
  slot.delivery()->post([](const Handler& h) { h(1); });
  (void)slot.stop();
  EXPECT_FALSE(slot.active());
  (void)slot.start(queue, [&](int v) { log.push_back("second " + std::to_string(v)); });
  const auto secondRun = *slot.delivery();
  secondRun.post([](const Handler& h) { h(2); });
  // A restart without a stop in between also ends the run before it.
  (void)slot.start(queue, [&](int v) { log.push_back("third " + std::to_string(v)); });
  secondRun.post([](const Handler& h) { h(3); });
  slot.delivery()->post([](const Handler& h) { h(4); });
  d->runUntilIdle();
  EXPECT_EQ(log, Log{"third 4"});

  // What a start or stop takes out is released only when the caller drops it.
  auto witness = std::make_shared<Witness>();
  auto gone = witness->gone;
  (void)slot.start(queue, [witness = std::move(witness)](int) {});
  {
    auto released = slot.stop();
    EXPECT_FALSE(gone->load());
    EXPECT_EQ(released.queue, queue);
  }
  EXPECT_TRUE(gone->load());
  EXPECT_TRUE(slot.stop().handler == nullptr) << "stopping a stopped stream does nothing";
}

TEST(StreamSlotTest, TicketEndsItsRunOnceAndOnlyWhileCurrent) {
  RunToken token;
  EXPECT_FALSE(token.running());
  EXPECT_FALSE(token.ticket().current());
  EXPECT_FALSE(RunToken::Ticket().end());

  const auto old = token.begin();
  const auto now = token.begin();
  EXPECT_FALSE(old.current());
  EXPECT_FALSE(old.end()) << "an earlier run cannot end the current one";
  EXPECT_TRUE(token.running());

  // Many threads race to end the same run, as a failure and a stop may: exactly one wins.
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, copy = now] {
      if (copy.end()) winners.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_FALSE(token.running());
  EXPECT_FALSE(now.current());
}

TEST(StreamSlotTest, BatchRunsEachQueuesDeliveriesInOneTaskInOrder) {
  auto d = VirtualDispatcher::create();
  auto sensors = d->makeOperationQueue("sensors");
  auto other = d->makeOperationQueue("other");
  Log log;
  auto logger = [&](std::string name) {
    return [&log, name](int v) { log.push_back(name + " " + std::to_string(v)); };
  };
  StreamSlot<Handler> a, b, c;
  (void)a.start(sensors, logger("a"));
  (void)b.start(other, logger("b"));
  (void)c.start(sensors, logger("c"));

  DeliveryBatch batch;
  for (int tick = 1; tick <= 2; ++tick) {
    for (StreamSlot<Handler>* s : {&a, &b, &c}) {
      batch.add(*s->delivery(), [tick](const Handler& h) { h(tick); });
    }
  }
  // Stopped after its readings were batched and before they run: they are dropped.
  (void)c.stop();
  EXPECT_FALSE(batch.empty());
  batch.post();
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(d->runUntilIdle(), 2u) << "one task per queue";
  EXPECT_EQ(log, (Log{"a 1", "a 2", "b 1", "b 2"}));
}

TEST(PlatformHelpersTest, OnlyStatusesThreeAndFourAreAuthorisedAndEachComparisonAsksAnew) {
  for (CLAuthorizationStatus s = 0; s <= 4; ++s) {
    EXPECT_EQ(isAuthorized(s), s >= 3) << s;
  }
  // A status that changes between the two comparisons is read as it is at each of them.
  int asked = 0;
  EXPECT_FALSE(isAuthorized([&] { return ++asked == 1 ? 4 : 2; }));
  EXPECT_EQ(asked, 2);
  asked = 0;
  EXPECT_TRUE(isAuthorized([&] { return ++asked == 1 ? 3 : 0; }));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(index(MotionStream::deviceMotion), 3u);
}

}  // namespace
}  // namespace pemdor
