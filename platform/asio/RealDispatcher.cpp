// SPDX-License-Identifier: MIT
#include "pemdor/platform/RealDispatcher.h"

#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "WorkQueue.h"
#include "pemdor/internal/QueueHandOff.h"

namespace pemdor {
namespace {

using asio_dispatch::WorkQueue;
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

// The latest due time a timer can be given: about 127 years of steady-clock time, which still
// fits the clock's nanosecond count. Later (or infinite) times are clamped to it.
constexpr double kLatestDue = 4e9;

double steadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime steadyTimePoint(double seconds) {
  using namespace std::chrono;
  const double clamped = std::clamp(seconds, 0.0, kLatestDue);
  // Rounded up, so that a timer never fires before monotonicNow() has reached its due time.
  return SteadyTime(ceil<steady_clock::duration>(duration<double>(clamped)));
}

// A pending timer's place in the order in which timers fire: by due time, then in the order
// they were scheduled. Id 0 names no timer.
struct TimerKey {
  SteadyTime due;
  std::uint64_t id = 0;
  auto operator<=>(const TimerKey&) const = default;
};

// Where the timer thread sleeps until its next due time: a futex word. A condition variable
// would serve as well, but after a timed-out wait glibc's leaves its mutex marked as contended,
// which costs one more system call on every tick of a periodic timer. The dispatcher's lock
// guards what the sleeper looks at; the word only tells it that something changed.
class TimerSleep {
 public:
  // With the lock held: the value that the next sleep() waits on.
  std::uint32_t ticket() const { return word_.load(std::memory_order_relaxed); }
  // With the lock held, followed by wake() once it is released: a sleep() on an earlier ticket
  // returns, or does not begin.
  void change() { word_.fetch_add(1, std::memory_order_relaxed); }
  void wake() { futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr); }
  // Without the lock: sleeps while the word holds `ticket`, until `until` (the steady clock,
  // which is CLOCK_MONOTONIC; max() for no limit). May return early; the caller looks again.
  void sleep(std::uint32_t ticket, SteadyTime until) {
    if (until == SteadyTime::max()) {
      futex(FUTEX_WAIT_PRIVATE, ticket, nullptr);
      return;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
    const timespec at{static_cast<time_t>(ns.count() / 1'000'000'000),
                      static_cast<long>(ns.count() % 1'000'000'000)};
    // An absolute time on CLOCK_MONOTONIC: FUTEX_WAIT_BITSET without FUTEX_CLOCK_REALTIME.
    futex(FUTEX_WAIT_BITSET_PRIVATE, ticket, &at);
  }

 private:
  long futex(int op, std::uint32_t value, const timespec* at) {
    return syscall(SYS_futex, &word_, op, value, at, nullptr, FUTEX_BITSET_MATCH_ANY);
  }
  std::atomic<std::uint32_t> word_{0};
};

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
const WorkQueueFace* faceOf(const DispatchQueue& queue) {
  if (typeid(queue) == typeid(AsioOperationQueue)) {
    return static_cast<const AsioOperationQueue*>(&queue);
  }
  if (typeid(queue) == typeid(AsioDispatchQueue)) {
    return static_cast<const AsioDispatchQueue*>(&queue);
  }
  return nullptr;
}

// Set by TimerHandle::cancel() and read by the timer's task on its queue right before it runs.
struct TimerFlag {
  std::atomic<bool> cancelled{false};
};

// Wraps a timer's task so that a cancel that comes after the timer fired, but before the task
// started on its queue, still prevents the run.
Task guardedTask(std::shared_ptr<TimerFlag> flag, Task task) {
  return [flag = std::move(flag), task = std::move(task)] {
    if (!flag->cancelled.load(std::memory_order_acquire)) task();
  };
}

// The state shared by the dispatcher, its threads and its timer handles. Threads hold it
// strongly while they run, so it outlives a dispatcher destroyed on one of its own threads.
class Core : public std::enable_shared_from_this<Core> {
 public:
  explicit Core(RealDispatcher::Options options);
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Starts the threads; called once, right after construction.
  void start();

  std::shared_ptr<DispatchQueue> mainQueue() const { return mainFace_; }
  std::shared_ptr<DispatchQueue> globalQueue() const { return globalFace_; }
  bool isMainThread() const { return mainThread_.load() == std::this_thread::get_id(); }
  std::shared_ptr<OperationQueue> makeOperationQueue(std::string label);
  std::shared_ptr<TimerHandle> scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                          Task task);
  void cancelTimer(const TimerKey& key);
  void runMainLoop();
  void stopMainLoop();
  void shutdown();

 private:
  enum class State { kRunning, kStopping, kStopped };

  struct PendingTimer {
    Task task;
    std::shared_ptr<DispatchQueue> queue;
    // The queue's WorkQueue when its jobs run on the pool; null for the main queue and for
    // queues of other dispatchers or of the host.
    std::shared_ptr<WorkQueue> poolWork;
    std::shared_ptr<TimerFlag> flag;
  };
  using TimerMap = std::map<TimerKey, PendingTimer>;

  // The timer thread: waits for the earliest pending timer and fires the due ones.
  void runTimers();
  // Runs on the timer thread when `pending` is due.
  void fire(PendingTimer pending);
  // `queue`'s WorkQueue when it is one of this dispatcher's pool queues, else null.
  std::shared_ptr<WorkQueue> poolWorkOf(const DispatchQueue& queue) const;
  std::shared_ptr<WorkQueue> registerQueue(std::shared_ptr<WorkQueue> queue);
  // Whether the caller is one of the threads that shutdown() would otherwise wait for.
  bool isOwnThreadLocked(std::thread::id thread) const;

  const RealDispatcher::Options options_;
  const int poolThreads_;
  // The io_contexts are shared so that work queues, which may outlive the dispatcher, can hold
  // them weakly.
  const std::shared_ptr<asio::io_context> mainIo_;
  const std::shared_ptr<asio::io_context> poolIo_;
  // Keep run() blocking while there is nothing to do, so that idle threads sleep in Asio.
  std::optional<WorkGuard> mainGuard_;
  std::optional<WorkGuard> poolGuard_;
  std::shared_ptr<WorkQueue> mainWork_;
  std::shared_ptr<WorkQueue> globalWork_;
  std::shared_ptr<DispatchQueue> mainFace_;
  std::shared_ptr<DispatchQueue> globalFace_;
  std::atomic<std::thread::id> mainThread_{};

  mutable std::mutex mutex_;
  std::condition_variable stateChanged_;
  State state_ = State::kRunning;
  std::thread::id stoppingThread_{};
  std::vector<std::thread> threads_;
  // The threads started by start(), joined or not.
  std::vector<std::thread::id> threadIds_;
  bool hostLoopRunning_ = false;
  std::thread::id hostThread_{};
  std::vector<std::weak_ptr<WorkQueue>> queues_;
  // The timers wait here, on one thread of their own, rather than on Asio timers: Asio's
  // reactor re-arms its timerfd twice for each timer that fires and is scheduled again, and
  // wakes through epoll, while the timer thread sleeps until a due time in one system call. For a
  // provider's periodic tick that is a third of the system calls, and the kernel's part is most
  // of what sampling costs.
  TimerMap timers_;
  // An empty node of a timer that has fired, for the next timer to take.
  TimerMap::node_type spareNode_;
  std::uint64_t nextTimer_ = 0;
  TimerSleep timerSleep_;
  // The due time the timer thread is waiting for: max() while no timer is pending, min() while
  // it is not waiting (it looks at the timers again before it waits). A timer due earlier, or
  // the cancelling of the one it waits for, wakes it.
  SteadyTime timerWaitsUntil_ = SteadyTime::min();
};

// The handle is the timer's flag as well, so that a timer costs one allocation for both.
class AsioTimerHandle final : public TimerHandle, public TimerFlag {
 public:
  explicit AsioTimerHandle(std::weak_ptr<Core> core) : core_(std::move(core)) {}
  void cancel() override {
    cancelled.store(true, std::memory_order_release);
    if (key_.id == 0) return;
    if (auto core = core_.lock()) core->cancelTimer(key_);
  }
  // Set once, before the handle is returned by scheduleAt().
  void setKey(const TimerKey& key) { key_ = key; }

 private:
  std::weak_ptr<Core> core_;
  // Id 0 for a timer that never waited on the timer thread.
  TimerKey key_;
};

Core::Core(RealDispatcher::Options options)
    : options_(options),
      poolThreads_(static_cast<int>(std::min(
          1024u, options.globalThreads != 0 ? options.globalThreads
                                            : std::max(2u, std::thread::hardware_concurrency())))),
      mainIo_(std::make_shared<asio::io_context>()),
      poolIo_(std::make_shared<asio::io_context>()),
      mainGuard_(asio::make_work_guard(*mainIo_)),
      poolGuard_(asio::make_work_guard(*poolIo_)),
      mainWork_(std::make_shared<WorkQueue>(mainIo_, 1, 1)),
      globalWork_(std::make_shared<WorkQueue>(poolIo_, poolThreads_,
                                              OperationQueue::kDefaultMaxConcurrentOperationCount)),
      mainFace_(std::make_shared<AsioDispatchQueue>(mainWork_, "main", false)),
      globalFace_(std::make_shared<AsioDispatchQueue>(globalWork_, "global", true)),
      queues_{mainWork_, globalWork_} {}

void Core::start() {
  auto self = shared_from_this();
  try {
    if (options_.ownMainThread) {
      threads_.emplace_back([self] {
        self->mainThread_.store(std::this_thread::get_id());
        self->mainIo_->run();
        self->mainThread_.store(std::thread::id{});
      });
    }
    threads_.emplace_back([self] { self->runTimers(); });
    for (int i = 0; i < poolThreads_; ++i) {
      threads_.emplace_back([self] { self->poolIo_->run(); });
    }
  } catch (...) {
    shutdown();
    throw;
  }
  std::lock_guard lock(mutex_);
  for (const auto& thread : threads_) threadIds_.push_back(thread.get_id());
}

std::shared_ptr<WorkQueue> Core::registerQueue(std::shared_ptr<WorkQueue> queue) {
  bool stopped = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kRunning) {
      std::erase_if(queues_, [](const auto& weak) { return weak.expired(); });
      queues_.push_back(queue);
    } else {
      stopped = true;
    }
  }
  if (stopped) queue->close();
  return queue;
}

std::shared_ptr<OperationQueue> Core::makeOperationQueue(std::string label) {
  auto work = registerQueue(std::make_shared<WorkQueue>(
      poolIo_, poolThreads_, OperationQueue::kDefaultMaxConcurrentOperationCount));
  return std::make_shared<AsioOperationQueue>(std::move(work), std::move(label));
}

std::shared_ptr<TimerHandle> Core::scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                              Task task) {
  auto handle = std::make_shared<AsioTimerHandle>(weak_from_this());
  if (!task) return handle;
  // A due time that has passed (or is not a number) needs no timer.
  if (!(when > steadySeconds())) {
    bool running = false;
    {
      std::lock_guard lock(mutex_);
      running = state_ == State::kRunning;
    }
    if (running) queue->async(guardedTask(handle, std::move(task)));
    return handle;
  }

  TimerKey key{steadyTimePoint(when)};
  auto poolWork = poolWorkOf(*queue);
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kRunning) {
      key.id = ++nextTimer_;
      handle->setKey(key);
      PendingTimer pending{std::move(task), std::move(queue), std::move(poolWork), handle};
      if (spareNode_.empty()) {
        timers_.emplace(key, std::move(pending));
      } else {
        // The node of a timer that fired, emptied outside the lock: no allocation per tick.
        spareNode_.key() = key;
        spareNode_.mapped() = std::move(pending);
        timers_.insert(std::move(spareNode_));
      }
      wake = key.due < timerWaitsUntil_;
      if (wake) timerSleep_.change();
    }
  }
  // A task refused after shutdown is released here, outside the lock.
  if (wake) timerSleep_.wake();
  return handle;
}

void Core::runTimers() {
  // Timers are due when they are due: no timer slack (50 us by default for a sleeping thread,
  // none for Asio's timerfd before).
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock lock(mutex_);
  while (state_ == State::kRunning) {
    if (!timers_.empty() && timers_.begin()->first.due <= std::chrono::steady_clock::now()) {
      auto node = timers_.extract(timers_.begin());
      lock.unlock();
      fire(std::move(node.mapped()));
      // What the timer held (its queue) goes before the lock is taken again; the emptied node is
      // kept for the next timer, which for a periodic one is scheduled by this very task.
      node.mapped() = {};
      lock.lock();
      if (spareNode_.empty()) spareNode_ = std::move(node);
      continue;
    }
    const SteadyTime until = timers_.empty() ? SteadyTime::max() : timers_.begin()->first.due;
    const std::uint32_t ticket = timerSleep_.ticket();
    timerWaitsUntil_ = until;
    lock.unlock();
    timerSleep_.sleep(ticket, until);
    lock.lock();
    timerWaitsUntil_ = SteadyTime::min();
  }
}

std::shared_ptr<WorkQueue> Core::poolWorkOf(const DispatchQueue& queue) const {
  const WorkQueueFace* face = faceOf(queue);
  if (face == nullptr || !face->work()->runsOn(*poolIo_)) return nullptr;
  return face->work();
}

void Core::fire(PendingTimer pending) {
  // A pool queue that could start the task at once gets it run right here, as one of its jobs:
  // posting it would wake a pool thread for every tick of a periodic timer, a second thread
  // hand-off after the one that woke this thread. The queue's order and concurrency limit hold,
  // since the task runs only when nothing waits before it and a job slot is free. The cost is
  // that other timers due meanwhile wait until the task returns: timer tasks on pool queues are
  // expected to be short (a provider's tick), and a long one should post its work elsewhere.
  // Run here, the task needs no wrapper to see a cancel that came before it starts.
  if (pending.poolWork && pending.poolWork->beginHere()) {
    if (!pending.flag->cancelled.load(std::memory_order_acquire)) pending.task();
    pending.task = nullptr;
    pending.poolWork->endHere();
    return;
  }
  auto task = guardedTask(std::move(pending.flag), std::move(pending.task));
  if (pending.poolWork) {
    pending.poolWork->post(std::move(task));
  } else {
    pending.queue->async(std::move(task));
  }
}

void Core::cancelTimer(const TimerKey& key) {
  TimerMap::node_type taken;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    taken = timers_.extract(key);
    // The timer thread waits for the next timer instead of waking for nothing at this one's time.
    wake = !taken.empty() && key.due == timerWaitsUntil_;
    if (wake) timerSleep_.change();
  }
  if (wake) timerSleep_.wake();
  // The task and what it holds are released here, outside the lock.
}

void Core::runMainLoop() {
  if (options_.ownMainThread) return;
  auto self = shared_from_this();
  const auto me = std::this_thread::get_id();
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::kRunning || hostLoopRunning_) return;
    hostLoopRunning_ = true;
    hostThread_ = me;
    // Under the lock, so that a stopMainLoop() or shutdown() that comes after this point is not
    // undone by the restart.
    mainIo_->restart();
  }
  mainThread_.store(me);
  mainIo_->run();
  mainThread_.store(std::thread::id{});
  {
    std::lock_guard lock(mutex_);
    hostLoopRunning_ = false;
    hostThread_ = std::thread::id{};
  }
  stateChanged_.notify_all();
}

void Core::stopMainLoop() {
  std::lock_guard lock(mutex_);
  if (!options_.ownMainThread && hostLoopRunning_) mainIo_->stop();
}

bool Core::isOwnThreadLocked(std::thread::id thread) const {
  if (hostLoopRunning_ && hostThread_ == thread) return true;
  return std::find(threadIds_.begin(), threadIds_.end(), thread) != threadIds_.end();
}

void Core::shutdown() {
  auto self = shared_from_this();
  const auto me = std::this_thread::get_id();
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<WorkQueue>> queues;
  TimerMap timers;
  {
    std::unique_lock lock(mutex_);
    if (state_ != State::kRunning) {
      // Another call is stopping the dispatcher. Wait for it, unless it is this very thread (a
      // dropped task released the last reference) or a thread that the other call waits for.
      if (stoppingThread_ != me && !isOwnThreadLocked(me)) {
        stateChanged_.wait(lock, [this] { return state_ == State::kStopped; });
      }
      return;
    }
    state_ = State::kStopping;
    stoppingThread_ = me;
    threads.swap(threads_);
    for (const auto& weak : queues_) {
      if (auto queue = weak.lock()) queues.push_back(std::move(queue));
    }
    queues_.clear();
    timers.swap(timers_);
    timerSleep_.change();
    mainIo_->stop();
  }
  timerSleep_.wake();
  poolIo_->stop();
  mainGuard_.reset();
  poolGuard_.reset();

  // Tasks that have not started are destroyed here, on the calling thread; whatever they post
  // while being destroyed is refused by the closed queues.
  for (const auto& queue : queues) queue->close();
  queues.clear();
  timers.clear();

  // A thread of the dispatcher cannot join itself: it is detached and ends once the task it is
  // running returns, holding this Core until then.
  for (auto& thread : threads) {
    if (thread.get_id() == me) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  {
    std::unique_lock lock(mutex_);
    stateChanged_.wait(lock, [this, me] { return !hostLoopRunning_ || hostThread_ == me; });
    state_ = State::kStopped;
  }
  stateChanged_.notify_all();
}

class AsioDispatcher final : public RealDispatcher {
 public:
  explicit AsioDispatcher(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  ~AsioDispatcher() override { core_->shutdown(); }

  std::shared_ptr<DispatchQueue> mainQueue() override { return core_->mainQueue(); }
  bool isMainThread() const override { return core_->isMainThread(); }
  std::shared_ptr<DispatchQueue> globalQueue(long /*priority*/) override {
    return core_->globalQueue();
  }
  std::shared_ptr<OperationQueue> makeOperationQueue(std::string label) override {
    return core_->makeOperationQueue(std::move(label));
  }
  double monotonicNow() const override { return steadySeconds(); }
  std::shared_ptr<TimerHandle> scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                          Task task) override {
    if (!queue) queue = core_->mainQueue();
    return core_->scheduleAt(when, std::move(queue), std::move(task));
  }
  void runMainLoop() override { core_->runMainLoop(); }
  void stopMainLoop() override { core_->stopMainLoop(); }
  void shutdown() override { core_->shutdown(); }

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace

void internal::runHereOrAsync(DispatchQueue& queue, Task task) {
  const WorkQueueFace* face = faceOf(queue);
  if (face == nullptr || !face->onPool()) {
    queue.async(std::move(task));
    return;
  }
  face->work()->runHereOrPost(std::move(task));
}

std::shared_ptr<RealDispatcher> RealDispatcher::create() {
  return create(Options{});
}

std::shared_ptr<RealDispatcher> RealDispatcher::create(Options options) {
  auto core = std::make_shared<Core>(options);
  core->start();
  return std::make_shared<AsioDispatcher>(std::move(core));
}

}  // namespace pemdor
