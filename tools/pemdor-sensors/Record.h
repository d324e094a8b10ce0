// SPDX-License-Identifier: MIT
#pragma once

// Records what a platform's motion and location services deliver, as a scenario that the
// simulated device replays.
//
// A recording samples every available motion stream at 0.1 s and runs location updates, through
// the same interfaces the collector uses, from start() until stop(). The scenario it gives holds
// the wall-clock time at the start ("clock.start"), each stream's readings in order (absent ones
// as null) with "repeat" false, each unavailable stream as "available": false, the location
// service's servicesEnabled and authorizationStatus as found at the start, and every location
// callback as an event with its time after the start of the updates, lists, single locations and
// failures as they came, each fix event with the source() of its fixes. Updates are started only
// where the collector would start them (services enabled, status 3 or 4); otherwise the events are
// an empty list, and a replay then refuses the start in the same way.
//
// Threads: start(), counts() and stop() may be called from any thread; readings are taken on a
// serial queue of the recorder and location callbacks on the platform's main thread.

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pemdor/platform/Platform.h"
#include "pemdor/platform/SimulatedDevice.h"

namespace pemdor::host {

/// The update interval of a recording, in seconds.
inline constexpr double kRecordingInterval = 0.1;

struct Recording {
  /// What a replay needs.
  SimScenario scenario;
  /// For pictures: when each reading arrived, in seconds after the start (one per reading).
  std::array<std::vector<double>, kMotionStreamCount> readingTimes;
  /// Seconds from start() to stop().
  double duration = 0.0;
  /// The names of the providers, as the platform gives them ("iio", "gpsd", "simulated").
  std::string motionProvider;
  std::string locationProvider;
};

class Recorder : public std::enable_shared_from_this<Recorder> {
 public:
  /// Starts recording on `platform`. Returns nullptr when the platform has no motion manager or
  /// no location manager to give.
  static std::shared_ptr<Recorder> start(std::shared_ptr<Platform> platform);

  /// Readings recorded so far, per stream (indexed by MotionStream); nullopt for a stream that is
  /// not available.
  std::array<std::optional<std::size_t>, kMotionStreamCount> counts() const;
  /// Location callbacks recorded so far.
  std::size_t eventCount() const;
  /// The dispatcher time of the start.
  double startedAt() const { return startedAt_; }

  /// Stops every stream and the location updates and returns what was recorded; deliveries that
  /// arrive later are dropped. A second call returns an empty recording.
  Recording stop();

  explicit Recorder(std::shared_ptr<Platform> platform);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

 private:
  class LocationDelegate;

  void begin();
  void addReading(MotionStream stream, const CMVector* reading);
  void addEvent(SimLocationEvent event);
  double now() const;

  const std::shared_ptr<Platform> platform_;
  std::shared_ptr<CMMotionManager> motion_;
  std::shared_ptr<CLLocationManager> location_;
  std::shared_ptr<LocationDelegate> delegate_;
  std::shared_ptr<OperationQueue> queue_;
  double startedAt_ = 0.0;
  double locationStartedAt_ = 0.0;

  mutable std::mutex mutex_;
  bool recording_ = false;
  Recording data_;
};

}  // namespace pemdor::host
