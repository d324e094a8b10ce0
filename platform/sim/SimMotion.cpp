// The simulated motion service: managers whose streams deliver scripted or still-phone readings
// on dispatcher timers.

#include <cmath>
#include <mutex>
#include <optional>
#include <utility>

#include "SimInternal.h"

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

class SimMotionManager final : public CMMotionManager,
                               public std::enable_shared_from_this<SimMotionManager> {
 public:
  explicit SimMotionManager(std::shared_ptr<DeviceState> device) : device_(std::move(device)) {}

  ~SimMotionManager() override {
    // Nothing else holds this manager now, so no lock is needed; pending timers find the
    // manager gone and do nothing, but are cancelled to leave the dispatcher idle.
    for (auto& slot : slots_) {
      if (!slot.active) continue;
      device_->activeStreams.fetch_sub(1);
      if (slot.timer) slot.timer->cancel();
    }
  }

  bool isAvailable(MotionStream stream) const override {
    return device_->available[index(stream)].load();
  }

  void setUpdateInterval(MotionStream stream, double seconds) override {
    if (!std::isfinite(seconds) || seconds < kShortestInterval) seconds = kShortestInterval;
    std::shared_ptr<TimerHandle> superseded;
    {
      std::lock_guard guard(mutex_);
      Slot& slot = slots_[index(stream)];
      slot.interval = seconds;
      // A running stream keeps its place in the script and goes on at the new rate, the next
      // reading one new interval from now.
      if (slot.active) superseded = reschedule(stream, slot, device_->dispatcher->monotonicNow());
    }
    if (superseded) superseded->cancel();
  }

  double updateInterval(MotionStream stream) const override {
    std::lock_guard guard(mutex_);
    return slots_[index(stream)].interval;
  }

  void startUpdates(MotionStream stream, std::shared_ptr<OperationQueue> queue,
                    VectorHandler handler) override {
    if (!queue || !isAvailable(stream)) return;
    auto shared = std::make_shared<const VectorHandler>(std::move(handler));
    // The replaced queue, handler and timer are released after the lock: a handler may hold the
    // last reference to code that calls back into this manager when it goes.
    std::shared_ptr<OperationQueue> oldQueue;
    std::shared_ptr<const VectorHandler> oldHandler;
    std::shared_ptr<TimerHandle> superseded;
    {
      std::lock_guard guard(mutex_);
      Slot& slot = slots_[index(stream)];
      if (!slot.active) device_->activeStreams.fetch_add(1);
      slot.active = true;
      oldQueue = std::exchange(slot.queue, std::move(queue));
      oldHandler = std::exchange(slot.handler, std::move(shared));
      slot.position = 0;
      superseded = reschedule(stream, slot, device_->dispatcher->monotonicNow());
    }
    if (superseded) superseded->cancel();
  }

  void stopUpdates(MotionStream stream) override {
    std::shared_ptr<OperationQueue> oldQueue;
    std::shared_ptr<const VectorHandler> oldHandler;
    std::shared_ptr<TimerHandle> timer;
    {
      std::lock_guard guard(mutex_);
      Slot& slot = slots_[index(stream)];
      if (!slot.active) return;
      slot.active = false;
      ++slot.epoch;
      oldQueue = std::move(slot.queue);
      oldHandler = std::move(slot.handler);
      timer = std::move(slot.timer);
    }
    device_->activeStreams.fetch_sub(1);
    if (timer) timer->cancel();
  }

  bool isActive(MotionStream stream) const override {
    std::lock_guard guard(mutex_);
    return slots_[index(stream)].active;
  }

 private:
  struct Slot {
    double interval = kDefaultUpdateInterval;
    bool active = false;
    // Changes with every start, stop and interval change, so that a timer that was superseded
    // but had already begun to run hands nothing over.
    std::uint64_t epoch = 0;
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<const VectorHandler> handler;
    // Deliveries fall at base + k × interval (k = 1, 2, ...), computed afresh each time so that
    // they never drift.
    double base = 0.0;
    std::uint64_t ticks = 0;
    // The script position of the next reading; 0 at every start.
    std::uint64_t position = 0;
    std::shared_ptr<TimerHandle> timer;
  };

  static std::size_t index(MotionStream stream) { return static_cast<std::size_t>(stream); }

  Script script(MotionStream stream) const {
    return {&device_->scenario.streams[index(stream)], stream};
  }

  // Starts a new schedule at `now`; returns the timer it replaces, to be cancelled after the
  // lock is released. Called with the lock held.
  std::shared_ptr<TimerHandle> reschedule(MotionStream stream, Slot& slot, double now) {
    ++slot.epoch;
    slot.base = now;
    slot.ticks = 0;
    auto previous = std::move(slot.timer);
    if (script(stream).has(slot.position)) slot.timer = scheduleNext(stream, slot);
    return previous;
  }

  // Called with the lock held.
  std::shared_ptr<TimerHandle> scheduleNext(MotionStream stream, const Slot& slot) {
    const double due = slot.base + static_cast<double>(slot.ticks + 1) * slot.interval;
    return device_->dispatcher->scheduleAt(due, device_->sensorQueue,
                                           [weak = weak_from_this(), stream, epoch = slot.epoch] {
                                             if (auto self = weak.lock()) self->fire(stream, epoch);
                                           });
  }

  // Runs on the sensor queue when a stream's timer is due: takes the reading, schedules the next
  // one while the script goes on, and hands the reading to the handler's queue.
  void fire(MotionStream stream, std::uint64_t epoch) {
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<const VectorHandler> handler;
    std::optional<CMVector> reading;
    {
      std::lock_guard guard(mutex_);
      Slot& slot = slots_[index(stream)];
      if (!slot.active || slot.epoch != epoch) return;
      const Script s = script(stream);
      reading = s.at(slot.position);
      ++slot.position;
      ++slot.ticks;
      // A script that has run out leaves no timer behind: the stream stays active but stalls.
      slot.timer = s.has(slot.position) ? scheduleNext(stream, slot) : nullptr;
      queue = slot.queue;
      handler = slot.handler;
    }
    device_->deliveriesHanded[index(stream)].fetch_add(1);
    queue->async([handler = std::move(handler), reading] {
      (*handler)(reading ? &*reading : nullptr, nullptr);
    });
  }

  const std::shared_ptr<DeviceState> device_;
  mutable std::mutex mutex_;
  std::array<Slot, kMotionStreamCount> slots_;
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

CMVector stillPhoneReading(MotionStream stream, std::uint64_t index) {
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
