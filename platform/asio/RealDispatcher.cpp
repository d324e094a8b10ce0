// SPDX-License-Identifier: MIT
#include "pemdor/platform/RealDispatcher.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "AsioQueues.h"
#include "Timers.h"
#include "WorkQueue.h"
#include "pemdor/internal/QueueHandOff.h"
#include "pemdor/internal/RepeatingTimer.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor {
namespace {

using asio_dispatch::AsioDispatchQueue;
using asio_dispatch::AsioOperationQueue;
using asio_dispatch::faceOf;
using asio_dispatch::steadySeconds;
using asio_dispatch::Timers;
using asio_dispatch::WorkQueue;
using asio_dispatch::WorkQueueFace;
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

// The state shared by the dispatcher and its threads. Threads hold it
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
                                          Task task) {
    return timers_->scheduleAt(when, std::move(queue), std::move(task));
  }
  std::shared_ptr<TimerHandle> scheduleRepeating(double start, double interval,
                                                 std::shared_ptr<DispatchQueue> queue, Task task) {
    return timers_->scheduleRepeating(start, interval, std::move(queue), std::move(task));
  }
  void runMainLoop();
  void stopMainLoop();
  void shutdown();

 private:
  enum class State { kRunning, kStopping, kStopped };

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
  // The timers wait on one thread of their own rather than on Asio timers: Asio's reactor
  // re-arms its timerfd twice for each timer that fires and is scheduled again, and wakes
  // through epoll, while the timer thread sleeps until a due time in one system call. For a
  // provider's periodic tick that is a third of the system calls, and the kernel's part is most
  // of what sampling costs.
  const std::shared_ptr<Timers> timers_;
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
      queues_{mainWork_, globalWork_},
      timers_(std::make_shared<Timers>(poolIo_)) {}

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
    threads_.emplace_back([self] { self->timers_->run(); });
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
    mainIo_->stop();
  }
  asio_dispatch::TimerMap timers = timers_->stop();
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
  PEMDOR_TICK_PATH double monotonicNow() const override { return steadySeconds(); }
  std::shared_ptr<TimerHandle> scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                          Task task) override {
    if (!queue) queue = core_->mainQueue();
    return core_->scheduleAt(when, std::move(queue), std::move(task));
  }
  void runMainLoop() override { core_->runMainLoop(); }
  void stopMainLoop() override { core_->stopMainLoop(); }
  void shutdown() override { core_->shutdown(); }

  Core& core() const { return *core_; }

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

std::shared_ptr<TimerHandle> internal::scheduleRepeating(Dispatcher& dispatcher, double start,
                                                         double interval,
                                                         std::shared_ptr<DispatchQueue> queue,
                                                         Task task) {
  if (typeid(dispatcher) != typeid(AsioDispatcher)) {
    return scheduleChainedRepeating(dispatcher, start, interval, std::move(queue), std::move(task));
  }
  auto& real = static_cast<AsioDispatcher&>(dispatcher);
  if (!queue) queue = real.mainQueue();
  const RepeatSchedule schedule = normalizedRepeat(dispatcher, start, interval);
  return real.core().scheduleRepeating(schedule.start, schedule.interval, std::move(queue),
                                       std::move(task));
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
