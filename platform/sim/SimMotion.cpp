// SPDX-License-Identifier: MIT
// The simulated motion service: managers whose streams deliver scripted or still-phone readings
// on dispatcher timers, one timer for the streams that tick together.

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "SimInternal.h"
#include "pemdor/internal/PlatformHelpers.h"
#include "pemdor/internal/RepeatingTimer.h"
#include "pemdor/internal/StreamSlot.h"
#include "pemdor/internal/TickPath.h"

namespace pemdor::sim {
namespace {

// The shortest interval the simulated sensors serve, in seconds.
constexpr double kShortestInterval = 0.001;

// One stream of a still phone: a constant offset per axis with a small noise on top.
struct StillStream {
  CMVector offset;
  double noise;
};

// Indexed by MotionStream. Acceleration and gravity in g with a slight tilt of the table,
// rotation rates of a few milli-rad/s (gyro bias), and a field of some tens of microtesla with
// its vertical part pointing down, as in the northern mid-latitudes.
constexpr std::array<StillStream, kMotionStreamCount> kStillPhone{{
    {{-0.0065, 0.0042, -1.0}, 0.0025},
    {{0.0021, -0.0034, 0.0012}, 0.0015},
    {{18.2, -3.6, -44.8}, 0.35},
    {{-0.0065, 0.0042, -1.0}, 0.0002},
}};

// splitmix64: a well-mixed 64-bit value for each input, the same on every machine.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A value in [-1, 1) made from the top 53 bits of `bits`.
double unitNoise(std::uint64_t bits) {
  return static_cast<double>(bits >> 11) * 0x1.0p-52 - 1.0;
}

// What a stream delivers at a position of its script: a reading (which may be absent), or the
// end of a script that does not repeat.
struct Script {
  const SimStreamScript* script;
  MotionStream stream;

  bool has(std::uint64_t index) const {
    if (!script->readings) return true;
    const auto size = script->readings->size();
    return size > 0 && (script->repeat || index < size);
  }

  std::optional<CMVector> at(std::uint64_t index) const {
    if (!script->readings) return stillPhoneReading(stream, index);
    const auto& readings = *script->readings;
    return readings[static_cast<std::size_t>(index % readings.size())];
  }
};

// The streams of a manager that share a queue, an update interval and a start time tick together:
// one timer wake-up samples them all and runs their handlers on that queue, one after another in
// stream order. A stream started within kJoinWindow of such a group, before its first tick, joins
// it; on the virtual dispatcher streams started by one task start at the same instant.
constexpr double kJoinWindow = 0.002;

class SimMotionManager final : public CMMotionManager,
                               public std::enable_shared_from_this<SimMotionManager> {
 public:
  explicit SimMotionManager(std::shared_ptr<DeviceState> device) : device_(std::move(device)) {}

  ~SimMotionManager() override {
    // Nothing else holds this manager now, so no lock is needed; pending timers find the
    // manager gone and do nothing, but are cancelled to leave the dispatcher idle.
    for (const Stream& s : streams_) {
      if (s.slot.active()) device_->activeStreams.fetch_sub(1);
    }
    for (Group& g : groups_) {
      if (g.timer) g.timer->cancel();
    }
  }

  bool isAvailable(MotionStream stream) const override {
    return device_->available[index(stream)].load();
  }

  void setUpdateInterval(MotionStream stream, double seconds) override {
    if (!std::isfinite(seconds) || seconds < kShortestInterval) seconds = kShortestInterval;
    Leftovers leftovers;
    std::lock_guard guard(mutex_);
    Stream& s = streams_[index(stream)];
    s.interval = seconds;
    // A running stream keeps its place in the script and goes on at the new rate, the next
    // reading one new interval from now.
    if (s.slot.active()) schedule(stream, device_->dispatcher->monotonicNow(), leftovers);
  }

  double updateInterval(MotionStream stream) const override {
    std::lock_guard guard(mutex_);
    return streams_[index(stream)].interval;
  }

  void startUpdates(MotionStream stream, std::shared_ptr<OperationQueue> queue,
                    VectorHandler handler) override {
    if (!queue || !isAvailable(stream)) return;
    Leftovers leftovers;
    std::lock_guard guard(mutex_);
    Stream& s = streams_[index(stream)];
    if (!s.slot.active()) device_->activeStreams.fetch_add(1);
    leftovers.released = s.slot.start(std::move(queue), std::move(handler));
    s.position = 0;
    schedule(stream, device_->dispatcher->monotonicNow(), leftovers);
  }

  void stopUpdates(MotionStream stream) override {
    Leftovers leftovers;
    std::lock_guard guard(mutex_);
    Stream& s = streams_[index(stream)];
    if (!s.slot.active()) return;
    leftovers.released = s.slot.stop();
    leave(stream, leftovers);
    device_->activeStreams.fetch_sub(1);
  }

  PEMDOR_TICK_PATH bool isActive(MotionStream stream) const override {
    std::lock_guard guard(mutex_);
    return streams_[index(stream)].slot.active();
  }

 private:
  struct Stream {
    double interval = kDefaultUpdateInterval;
    StreamSlot<VectorHandler> slot;
    // The script position of the next reading; 0 at every start.
    std::uint64_t position = 0;
    // The group the stream ticks with; none while stopped or stalled at the end of its script.
    std::optional<std::size_t> group;
  };

  // Streams that tick together. Ticks fall at base + k × interval (k = 1, 2, ...), computed
  // afresh each time so that they never drift, on one repeating timer made when the group begins.
  // A group without members is free.
  struct Group {
    std::shared_ptr<OperationQueue> queue;
    double interval = 0.0;
    double base = 0.0;
    std::uint64_t ticks = 0;
    std::array<bool, kMotionStreamCount> members{};
    // Changes whenever the group is freed, so that a timer of an earlier use does nothing.
    std::uint64_t epoch = 0;
    std::shared_ptr<TimerHandle> timer;

    bool empty() const {
      return std::none_of(members.begin(), members.end(), [](bool m) { return m; });
    }
  };

  // What an operation takes out under the lock, released after it: declared before the lock
  // guard, so destroyed after the lock is released. A handler or a queue may hold the last
  // reference to code that calls back into this manager when it goes.
  struct Leftovers {
    StreamSlot<VectorHandler>::Released released;
    std::vector<std::shared_ptr<OperationQueue>> queues;
    std::vector<std::shared_ptr<TimerHandle>> timers;
    ~Leftovers() {
      for (const auto& timer : timers) timer->cancel();
    }
  };

  Script script(MotionStream stream) const {
    return {&device_->scenario.streams[index(stream)], stream};
  }

  // Takes the stream out of its group, freeing the group when it was the last member. Called
  // with the lock held.
  void leave(MotionStream stream, Leftovers& leftovers) {
    Stream& s = streams_[index(stream)];
    if (!s.group) return;
    Group& g = groups_[*s.group];
    s.group.reset();
    g.members[index(stream)] = false;
    if (!g.empty()) return;
    ++g.epoch;
    leftovers.queues.push_back(std::move(g.queue));
    if (g.timer) leftovers.timers.push_back(std::move(g.timer));
  }

  // Starts the stream's schedule at `now`: it joins a group that began with it, or begins one.
  // A stream whose script has nothing more stays out of every group. Called with the lock held.
  void schedule(MotionStream stream, double now, Leftovers& leftovers) {
    leave(stream, leftovers);
    Stream& s = streams_[index(stream)];
    if (!script(stream).has(s.position)) return;
    std::optional<std::size_t> free;
    for (std::size_t i = 0; i < groups_.size(); ++i) {
      Group& g = groups_[i];
      if (g.empty()) {
        if (!free) free = i;
        continue;
      }
      if (g.queue == s.slot.queue() && g.interval == s.interval && g.ticks == 0 && now >= g.base &&
          now - g.base <= kJoinWindow) {
        g.members[index(stream)] = true;
        s.group = i;
        return;
      }
    }
    // Four streams never need more than four groups, and the stream has left its own.
    Group& g = groups_[*free];
    g.queue = s.slot.queue();
    g.interval = s.interval;
    g.base = now;
    g.ticks = 0;
    g.members[index(stream)] = true;
    s.group = *free;
    g.timer = startTicks(*free);
  }

  // The group's timer, for its whole use. Called with the lock held.
  std::shared_ptr<TimerHandle> startTicks(std::size_t group) {
    const Group& g = groups_[group];
    return internal::scheduleRepeating(*device_->dispatcher, g.base, g.interval, g.queue,
                                       [weak = weak_from_this(), group, epoch = g.epoch] {
                                         if (auto self = weak.lock()) self->tick(group, epoch);
                                       });
  }

  // One member's part of a tick: its handler with the ticket of its run, and its reading.
  struct Due {
    MotionStream stream{};
    LocalDelivery<VectorHandler> delivery;
    std::optional<CMVector> reading;
  };

  // Runs on the group's queue when its tick is due: takes one reading of every member and then,
  // with no lock held, runs the handlers in stream order. A member whose script has run out
  // leaves the group, and the last one to leave frees it, which cancels the timer. A handler that
  // stops a later stream of the same tick keeps that stream's reading from running. A tick of an
  // earlier use of the group (one that raced the cancel) does nothing.
  //
  // The work for one member is in take() and deliver(), out of line, so that a tick runs the same
  // few lines of code for every member: after 100 ms asleep, each distinct line costs a miss.
  PEMDOR_TICK_PATH void tick(std::size_t group, std::uint64_t epoch) {
    std::array<Due, kMotionStreamCount> due;
    std::size_t count = 0;
    {
      // Made only when a member leaves its group.
      std::optional<Leftovers> leftovers;
      std::lock_guard guard(mutex_);
      Group& g = groups_[group];
      if (g.epoch != epoch || g.empty()) return;
      ++g.ticks;
      for (std::size_t i = 0; i < kMotionStreamCount; ++i) {
        if (g.members[i]) take(kAllMotionStreams[i], due[count++], leftovers);
      }
    }
    for (std::size_t i = 0; i < count; ++i) deliver(due[i]);
  }

  // Takes a member's delivery and reading, and moves it on in its script. Called with the lock
  // held.
  [[gnu::noinline]] PEMDOR_TICK_PATH void take(MotionStream stream, Due& due,
                                               std::optional<Leftovers>& leftovers) {
    Stream& s = streams_[index(stream)];
    const Script sc = script(stream);
    due.stream = stream;
    due.delivery = *s.slot.localDelivery();
    due.reading = sc.at(s.position);
    ++s.position;
    // A script that has run out leaves its group: the stream stays active but stalls.
    if (!sc.has(s.position)) leave(stream, leftovers ? *leftovers : leftovers.emplace());
  }

  // Runs a member's handler if its run is still current. Called with no lock held.
  [[gnu::noinline]] PEMDOR_TICK_PATH void deliver(const Due& due) {
    due.delivery.runIfCurrent([&](const VectorHandler& handler) {
      device_->deliveriesHanded[index(due.stream)].fetch_add(1);
      handler(due.reading ? &*due.reading : nullptr, nullptr);
    });
  }

  const std::shared_ptr<DeviceState> device_;
  mutable std::mutex mutex_;
  std::array<Stream, kMotionStreamCount> streams_;
  std::array<Group, kMotionStreamCount> groups_;
};

class SimMotionService final : public MotionService {
 public:
  explicit SimMotionService(std::shared_ptr<DeviceState> device) : device_(std::move(device)) {}
  std::string name() const override { return "simulated"; }
  std::shared_ptr<CMMotionManager> makeMotionManager() override {
    return std::make_shared<SimMotionManager>(device_);
  }

 private:
  std::shared_ptr<DeviceState> device_;
};

}  // namespace

PEMDOR_TICK_PATH CMVector stillPhoneReading(MotionStream stream, std::uint64_t index) {
  const auto s = static_cast<std::size_t>(stream);
  const StillStream& still = kStillPhone[s];
  const std::uint64_t key = (index * kMotionStreamCount + s) * 3;
  CMVector v{still.offset.x + still.noise * unitNoise(mix(key)),
             still.offset.y + still.noise * unitNoise(mix(key + 1)),
             still.offset.z + still.noise * unitNoise(mix(key + 2))};
  if (stream == MotionStream::deviceMotion) {
    // Gravity has a length of 1 g; only its direction wobbles.
    v.z = -std::sqrt(1.0 - v.x * v.x - v.y * v.y);
  }
  return v;
}

std::shared_ptr<MotionService> makeSimMotionService(std::shared_ptr<DeviceState> device) {
  return std::make_shared<SimMotionService>(std::move(device));
}

}  // namespace pemdor::sim
