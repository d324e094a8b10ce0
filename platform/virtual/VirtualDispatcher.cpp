// SPDX-License-Identifier: MIT
#include "pemdor/platform/VirtualDispatcher.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pemdor {
namespace {

class Core;
class VirtualTimer;

// One task that is ready to run on a queue. A timer's entry carries no task of its own: the task
// stays in the timer until its turn comes, so that cancel() can still release it.
struct ReadyEntry {
  std::uint64_t seq = 0;
  Task task;
  std::shared_ptr<VirtualTimer> timer;
};

// A queue of the virtual dispatcher. The queue object itself is the FIFO: its entries are
// guarded by the mutex of the core that owns it, which keeps a strong reference to every queue
// that still has entries.
class VirtualQueue final : public OperationQueue {
 public:
  enum class Kind : std::uint8_t { kMain, kGlobal, kOperation };

  VirtualQueue(std::weak_ptr<Core> core, const Core* owner, Kind kind, std::string label)
      : core_(std::move(core)),
        owner_(owner),
        kind_(kind),
        label_(std::move(label)),
        maxConcurrent_(kind == Kind::kMain ? 1 : kDefaultMaxConcurrentOperationCount) {}

  void async(Task task) override;
  std::string label() const override { return label_; }
  void setMaxConcurrentOperationCount(int count) override;
  int maxConcurrentOperationCount() const override {
    return maxConcurrent_.load(std::memory_order_relaxed);
  }

  const Core* owner() const { return owner_; }
  void storeMaxConcurrent(int count) { maxConcurrent_.store(count, std::memory_order_relaxed); }
  bool isMain() const { return kind_ == Kind::kMain; }
  // Only the head of a serial queue may run next; any entry of another queue may.
  bool serial() const {
    return kind_ == Kind::kMain ||
           (kind_ == Kind::kOperation && maxConcurrent_.load(std::memory_order_relaxed) == 1);
  }

  // Guarded by the owning core's mutex.
  std::deque<ReadyEntry> entries;
  // This queue's position in the core's list of queues with entries; guarded likewise.
  std::size_t activeIndex = 0;

 private:
  const std::weak_ptr<Core> core_;
  const Core* const owner_;
  const Kind kind_;
  const std::string label_;
  std::atomic<int> maxConcurrent_;
};

// Where a timer stands; read and written under the core's mutex only.
enum class TimerState : std::uint8_t { kScheduled, kReady, kCancelled, kFired };

class VirtualTimer final : public TimerHandle {
 public:
  explicit VirtualTimer(std::weak_ptr<Core> core) : core_(std::move(core)) {}
  void cancel() override;

  // Guarded by the core's mutex once the timer has been handed to the core.
  std::shared_ptr<VirtualQueue> target;
  Task task;
  TimerState state = TimerState::kScheduled;

 private:
  const std::weak_ptr<Core> core_;
};

struct PendingTimer {
  double due;
  std::uint64_t order;
  std::shared_ptr<VirtualTimer> timer;
};

// The ordering of std::push_heap is a max-heap; this one puts the earliest (due, order) on top.
bool laterTimer(const PendingTimer& a, const PendingTimer& b) {
  return a.due > b.due || (a.due == b.due && a.order > b.order);
}

bool bySeq(const ReadyEntry& a, const ReadyEntry& b) {
  return a.seq < b.seq;
}

// Negative, NaN and infinite amounts of time count as 0.
double sanitizedSeconds(double seconds) {
  return std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
}

// The state shared by the dispatcher, its queues and its timers. Queues and timers hold it
// weakly, so a queue or timer handle that outlives the dispatcher finds it gone and does
// nothing. One mutex guards everything but the clock, the runner flag and the main-thread
// marker; it is never held while a task, a task's destructor or any host code runs.
class Core {
 public:
  explicit Core(double start) : now_(start) {}

  void attach(std::weak_ptr<Core> self, std::shared_ptr<VirtualQueue> main,
              std::shared_ptr<VirtualQueue> global) {
    self_ = std::move(self);
    global_ = global;
    queues_.push_back(std::move(main));
    queues_.push_back(std::move(global));
  }

  std::shared_ptr<OperationQueue> makeOperationQueue(std::string label) {
    auto queue = std::make_shared<VirtualQueue>(self_, this, VirtualQueue::Kind::kOperation,
                                                std::move(label));
    std::vector<std::shared_ptr<VirtualQueue>> released;
    {
      std::lock_guard lock(mutex_);
      // Queues that nobody holds and that have nothing left to run are let go now and then, so
      // that the registry stays proportional to the live queues.
      if (queues_.size() >= 2 * queuesAfterPrune_) {
        auto unused = std::stable_partition(queues_.begin(), queues_.end(), [](const auto& q) {
          return q.use_count() > 1 || !q->entries.empty();
        });
        released.assign(std::make_move_iterator(unused), std::make_move_iterator(queues_.end()));
        queues_.erase(unused, queues_.end());
        queuesAfterPrune_ = std::max<std::size_t>(queues_.size(), 16);
      }
      queues_.push_back(queue);
    }
    return queue;
  }

  void post(VirtualQueue& queue, Task task) {
    if (!task) return;
    std::unique_lock lock(mutex_);
    if (closed_) {
      lock.unlock();
      return;  // The task is dropped once the lock is released.
    }
    pushReadyLocked(queue, std::move(task), nullptr);
  }

  std::shared_ptr<TimerHandle> schedule(double when, std::shared_ptr<DispatchQueue> queue,
                                        Task task) {
    auto timer = std::make_shared<VirtualTimer>(self_);
    auto* own = dynamic_cast<VirtualQueue*>(queue.get());
    if (own != nullptr && own->owner() == this) {
      timer->target = std::shared_ptr<VirtualQueue>(queue, own);
    } else if (queue && task) {
      // A queue that this dispatcher does not own: when due, the task is handed to it from this
      // dispatcher's global queue.
      timer->target = global_;
      task = [queue = std::move(queue), inner = std::move(task)]() mutable {
        queue->async(std::move(inner));
      };
    }
    if (!timer->target || !task) {
      timer->state = TimerState::kCancelled;
      return timer;
    }
    timer->task = std::move(task);
    Task dropped;
    {
      std::lock_guard lock(mutex_);
      const double now = now_.load(std::memory_order_relaxed);
      if (std::isnan(when)) when = now;
      if (closed_) {
        timer->state = TimerState::kCancelled;
        dropped = std::move(timer->task);
      } else if (when <= now) {
        timer->state = TimerState::kReady;
        pushReadyLocked(*timer->target, Task{}, timer);
      } else {
        timers_.push_back(PendingTimer{when, ++timerOrder_, timer});
        std::push_heap(timers_.begin(), timers_.end(), laterTimer);
      }
    }
    return timer;
  }

  void cancel(VirtualTimer& timer) {
    Task dropped;
    std::unique_lock lock(mutex_);
    switch (timer.state) {
      case TimerState::kScheduled:
        timer.state = TimerState::kCancelled;
        ++cancelledTimers_;
        purgeLocked();
        break;
      case TimerState::kReady:
        timer.state = TimerState::kCancelled;
        ++cancelledReady_;
        break;
      case TimerState::kCancelled:
      case TimerState::kFired:
        return;
    }
    dropped = std::move(timer.task);
    lock.unlock();
  }

  void setMaxConcurrent(VirtualQueue& queue, int count) {
    std::lock_guard lock(mutex_);
    queue.storeMaxConcurrent(count);
    // Under a shuffle key the entries of a concurrent queue may have been taken out of order;
    // a queue that turns serial runs the rest in posting order.
    if (count == 1) sortEntries(queue);
  }

  void setShuffleKey(std::optional<std::uint64_t> key) {
    std::lock_guard lock(mutex_);
    shuffle_ = key.has_value();
    random_ = key.value_or(0);
    if (!shuffle_) {
      for (VirtualQueue* queue : active_) sortEntries(*queue);
    }
  }

  // Runs the next ready task, skipping cancelled timer entries. Returns false when nothing is
  // ready. Only the runner calls it.
  bool runNext() {
    Task task;
    bool onMain = false;
    {
      std::shared_ptr<VirtualTimer> timer;
      std::lock_guard lock(mutex_);
      for (;;) {
        if (active_.empty()) return false;
        VirtualQueue* queue = nullptr;
        ReadyEntry entry = shuffle_ ? takeShuffledLocked(queue) : takeOldestLocked(queue);
        if (entry.timer) {
          timer = std::move(entry.timer);
          if (timer->state == TimerState::kCancelled) {
            --cancelledReady_;
            continue;
          }
          timer->state = TimerState::kFired;
          task = std::move(timer->task);
        } else {
          task = std::move(entry.task);
        }
        onMain = queue->isMain();
        ++tasksRun_;
        break;
      }
    }
    MainThreadScope scope(onMain ? &mainRunner_ : nullptr);
    task();
    // The captures are released while the task still counts as running on its queue.
    task = nullptr;
    return true;
  }

  std::size_t drain() {
    std::size_t ran = 0;
    while (runNext()) ++ran;
    return ran;
  }

  std::size_t advanceBy(double seconds) {
    const double target = now_.load(std::memory_order_relaxed) + sanitizedSeconds(seconds);
    std::size_t ran = drain();
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (timers_.empty() || timers_.front().due > target) {
          if (now_.load(std::memory_order_relaxed) < target) {
            now_.store(target, std::memory_order_relaxed);
          }
          break;
        }
        const double due = timers_.front().due;
        now_.store(due, std::memory_order_relaxed);
        fireDueLocked(due);
      }
      ran += drain();
    }
    return ran + drain();
  }

  void advanceClockBy(double seconds) {
    std::lock_guard lock(mutex_);
    const double target = now_.load(std::memory_order_relaxed) + sanitizedSeconds(seconds);
    fireDueLocked(target);
    now_.store(target, std::memory_order_relaxed);
  }

  bool runUntil(const std::function<bool()>& done, double maxSeconds) {
    const auto isDone = [&done] { return done && done(); };
    double limit = now_.load(std::memory_order_relaxed);
    if (!std::isnan(maxSeconds) && maxSeconds > 0) limit += maxSeconds;
    for (;;) {
      drain();
      if (isDone()) return true;
      std::lock_guard lock(mutex_);
      if (ready_ > cancelledReady_) continue;  // Posted from another thread meanwhile.
      if (timers_.empty()) break;
      const double due = timers_.front().due;
      if (!(due <= limit) || !std::isfinite(due)) {
        if (std::isfinite(limit) && now_.load(std::memory_order_relaxed) < limit) {
          now_.store(limit, std::memory_order_relaxed);
        }
        break;
      }
      now_.store(due, std::memory_order_relaxed);
      fireDueLocked(due);
    }
    return isDone();
  }

  // Drops everything pending and refuses whatever is posted or scheduled later. The dropped
  // tasks are destroyed after the lock is released; tasks that their destructors post are
  // dropped at once.
  void shutdown() {
    std::vector<ReadyEntry> entries;
    std::vector<PendingTimer> timers;
    std::vector<Task> tasks;
    std::vector<std::shared_ptr<VirtualQueue>> queues;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      for (VirtualQueue* queue : active_) {
        for (auto& entry : queue->entries) {
          if (entry.timer) {
            entry.timer->state = TimerState::kCancelled;
            tasks.push_back(std::move(entry.timer->task));
          }
          entries.push_back(std::move(entry));
        }
        queue->entries.clear();
      }
      active_.clear();
      for (auto& pending : timers_) {
        pending.timer->state = TimerState::kCancelled;
        tasks.push_back(std::move(pending.timer->task));
      }
      timers = std::move(timers_);
      timers_.clear();
      queues = std::move(queues_);
      queues_.clear();
      ready_ = cancelledReady_ = cancelledTimers_ = 0;
    }
  }

  bool tryStartRunning() { return !running_.exchange(true, std::memory_order_acquire); }
  void stopRunning() { running_.store(false, std::memory_order_release); }

  double now() const { return now_.load(std::memory_order_relaxed); }
  bool isMainThread() const {
    return mainRunner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  bool hasPendingWork() const {
    std::lock_guard lock(mutex_);
    return ready_ > cancelledReady_ || !timers_.empty();
  }
  std::optional<double> nextTimerDue() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    return timers_.front().due;
  }
  std::uint64_t tasksRun() const {
    std::lock_guard lock(mutex_);
    return tasksRun_;
  }

 private:
  // Marks the calling thread as the main thread while a main-queue task runs.
  class MainThreadScope {
   public:
    explicit MainThreadScope(std::atomic<std::thread::id>* marker) : marker_(marker) {
      if (marker_ != nullptr) marker_->store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    ~MainThreadScope() {
      if (marker_ != nullptr) marker_->store(std::thread::id{}, std::memory_order_relaxed);
    }
    MainThreadScope(const MainThreadScope&) = delete;
    MainThreadScope& operator=(const MainThreadScope&) = delete;

   private:
    std::atomic<std::thread::id>* marker_;
  };

  void pushReadyLocked(VirtualQueue& queue, Task task, std::shared_ptr<VirtualTimer> timer) {
    queue.entries.push_back(ReadyEntry{++readySeq_, std::move(task), std::move(timer)});
    if (queue.entries.size() == 1) {
      queue.activeIndex = active_.size();
      active_.push_back(&queue);
    }
    ++ready_;
  }

  void afterTakeLocked(VirtualQueue& queue) {
    --ready_;
    if (!queue.entries.empty()) return;
    const std::size_t index = queue.activeIndex;
    active_[index] = active_.back();
    active_[index]->activeIndex = index;
    active_.pop_back();
  }

  // The entry with the smallest sequence number: every queue's head is its oldest entry.
  ReadyEntry takeOldestLocked(VirtualQueue*& from) {
    from = active_.front();
    for (VirtualQueue* queue : active_) {
      if (queue->entries.front().seq < from->entries.front().seq) from = queue;
    }
    ReadyEntry entry = std::move(from->entries.front());
    from->entries.pop_front();
    afterTakeLocked(*from);
    return entry;
  }

  // A pseudo-random pick among the heads of serial queues and all entries of the others.
  ReadyEntry takeShuffledLocked(VirtualQueue*& from) {
    std::size_t eligible = 0;
    for (VirtualQueue* queue : active_) eligible += queue->serial() ? 1 : queue->entries.size();
    std::size_t pick = static_cast<std::size_t>(nextRandom() % eligible);
    for (VirtualQueue* queue : active_) {
      const std::size_t count = queue->serial() ? 1 : queue->entries.size();
      if (pick < count) {
        from = queue;
        break;
      }
      pick -= count;
    }
    auto& entries = from->entries;
    ReadyEntry entry = std::move(entries[pick]);
    if (pick != 0) entries[pick] = std::move(entries.front());
    entries.pop_front();
    afterTakeLocked(*from);
    return entry;
  }

  // splitmix64: small, fast and fully determined by the shuffle key.
  std::uint64_t nextRandom() {
    std::uint64_t z = (random_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Makes every timer due at or before `upTo` ready on its queue, in (due, scheduling) order.
  void fireDueLocked(double upTo) {
    while (!timers_.empty() && timers_.front().due <= upTo) {
      std::pop_heap(timers_.begin(), timers_.end(), laterTimer);
      PendingTimer pending = std::move(timers_.back());
      timers_.pop_back();
      if (pending.timer->state == TimerState::kCancelled) {
        --cancelledTimers_;
        continue;
      }
      pending.timer->state = TimerState::kReady;
      VirtualQueue& target = *pending.timer->target;
      pushReadyLocked(target, Task{}, std::move(pending.timer));
    }
    purgeLocked();
  }

  // Keeps a live timer on top of the heap, so that its top is the next due time, and rebuilds
  // the heap when cancelled timers make up most of it.
  void purgeLocked() {
    while (!timers_.empty() && timers_.front().timer->state == TimerState::kCancelled) {
      std::pop_heap(timers_.begin(), timers_.end(), laterTimer);
      timers_.pop_back();
      --cancelledTimers_;
    }
    if (cancelledTimers_ > 32 && cancelledTimers_ * 2 > timers_.size()) {
      std::erase_if(timers_, [](const PendingTimer& pending) {
        return pending.timer->state == TimerState::kCancelled;
      });
      std::make_heap(timers_.begin(), timers_.end(), laterTimer);
      cancelledTimers_ = 0;
    }
  }

  static void sortEntries(VirtualQueue& queue) {
    if (!std::is_sorted(queue.entries.begin(), queue.entries.end(), bySeq)) {
      std::sort(queue.entries.begin(), queue.entries.end(), bySeq);
    }
  }

  mutable std::mutex mutex_;
  std::atomic<double> now_;
  std::atomic<bool> running_{false};
  std::atomic<std::thread::id> mainRunner_{};

  std::weak_ptr<Core> self_;
  std::shared_ptr<VirtualQueue> global_;
  bool closed_ = false;
  std::uint64_t readySeq_ = 0;
  std::uint64_t timerOrder_ = 0;
  std::uint64_t tasksRun_ = 0;
  // Every queue that may still receive or hold tasks; the core's strong references.
  std::vector<std::shared_ptr<VirtualQueue>> queues_;
  std::size_t queuesAfterPrune_ = 16;
  // The queues that have entries, each knowing its index here.
  std::vector<VirtualQueue*> active_;
  // Ready entries in all queues, and how many of them are cancelled timers.
  std::size_t ready_ = 0;
  std::size_t cancelledReady_ = 0;
  // A min-heap of pending timers, its top always live; and how many in it are cancelled.
  std::vector<PendingTimer> timers_;
  std::size_t cancelledTimers_ = 0;
  bool shuffle_ = false;
  std::uint64_t random_ = 0;
};

void VirtualQueue::async(Task task) {
  if (auto core = core_.lock()) core->post(*this, std::move(task));
}

void VirtualQueue::setMaxConcurrentOperationCount(int count) {
  if (count < 1 && count != kDefaultMaxConcurrentOperationCount) count = 1;
  if (auto core = core_.lock()) {
    core->setMaxConcurrent(*this, count);
  } else {
    storeMaxConcurrent(count);
  }
}

void VirtualTimer::cancel() {
  if (auto core = core_.lock()) core->cancel(*this);
}

// Claims the right to run for the calling thread; a nested or concurrent driver gets nothing.
class RunGuard {
 public:
  explicit RunGuard(std::shared_ptr<Core> core)
      : core_(std::move(core)), owns_(core_->tryStartRunning()) {}
  ~RunGuard() {
    if (owns_) core_->stopRunning();
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
  explicit operator bool() const { return owns_; }
  Core* operator->() const { return core_.get(); }

 private:
  // Held so that a task that drops the last reference to the dispatcher does not pull the core
  // away from under the loop that runs it.
  std::shared_ptr<Core> core_;
  bool owns_;
};

class VirtualDispatcherImpl final : public VirtualDispatcher {
 public:
  explicit VirtualDispatcherImpl(double start) : core_(std::make_shared<Core>(start)) {
    main_ = std::make_shared<VirtualQueue>(core_, core_.get(), VirtualQueue::Kind::kMain, "main");
    global_ =
        std::make_shared<VirtualQueue>(core_, core_.get(), VirtualQueue::Kind::kGlobal, "global");
    core_->attach(core_, main_, global_);
  }
  ~VirtualDispatcherImpl() override { core_->shutdown(); }

  std::shared_ptr<DispatchQueue> mainQueue() override { return main_; }
  bool isMainThread() const override { return core_->isMainThread(); }
  std::shared_ptr<DispatchQueue> globalQueue(long) override { return global_; }
  std::shared_ptr<OperationQueue> makeOperationQueue(std::string label) override {
    return core_->makeOperationQueue(std::move(label));
  }
  double monotonicNow() const override { return core_->now(); }
  std::shared_ptr<TimerHandle> scheduleAt(double when, std::shared_ptr<DispatchQueue> queue,
                                          Task task) override {
    return core_->schedule(when, std::move(queue), std::move(task));
  }

  bool runOne() override {
    RunGuard guard(core_);
    return guard && guard->runNext();
  }
  std::size_t runUntilIdle() override {
    RunGuard guard(core_);
    return guard ? guard->drain() : 0;
  }
  std::size_t advanceBy(double seconds) override {
    RunGuard guard(core_);
    return guard ? guard->advanceBy(seconds) : 0;
  }
  void advanceClockBy(double seconds) override {
    RunGuard guard(core_);
    if (guard) guard->advanceClockBy(seconds);
  }
  bool runUntil(const std::function<bool()>& done, double maxSeconds) override {
    RunGuard guard(core_);
    if (!guard) return done && done();
    return guard->runUntil(done, maxSeconds);
  }

  bool hasPendingWork() const override { return core_->hasPendingWork(); }
  std::optional<double> nextTimerDue() const override { return core_->nextTimerDue(); }
  std::uint64_t tasksRun() const override { return core_->tasksRun(); }
  void setShuffleKey(std::optional<std::uint64_t> key) override { core_->setShuffleKey(key); }

 private:
  std::shared_ptr<Core> core_;
  std::shared_ptr<VirtualQueue> main_;
  std::shared_ptr<VirtualQueue> global_;
};

}  // namespace

std::shared_ptr<VirtualDispatcher> VirtualDispatcher::create(double start) {
  return std::make_shared<VirtualDispatcherImpl>(std::isfinite(start) ? start : 0.0);
}

}  // namespace pemdor
