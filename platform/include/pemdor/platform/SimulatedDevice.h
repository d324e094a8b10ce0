// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The simulated device: a motion service and a location service driven by a scenario, on any
/// dispatcher (real time for a host without hardware, virtual time in tests).
///
/// A scenario is a JSON value (from a file, a string, or built in code):
///
///   {
///     "clock": {"start": 1449000000.1234},
///     "motion": {
///       "accelerometer": {"available": true, "readings": [[0.1234, -0.5, 9.81], null], "repeat": true},
///       "gyroscope":     {"available": true},
///       "magnetometer":  {"available": false},
///       "deviceMotion":  {"available": true, "readings": [[0.0, 0.0, -1.0]]}
///     },
///     "location": {
///       "servicesEnabled": true,
///       "authorizationStatus": 4,
///       "events": [
///         {"after": 2.0, "locations": [[12.5, -45.25]]},
///         {"after": 3.0, "fail": true},
///         {"after": 4.0, "location": [1.0, 2.0], "from": [0.5, 0.5]},
///         {"after": 5.0, "locations": [[47.3769, 8.5417]], "source": "gpsd"}
///       ]
///     }
///   }
///
/// Every key is optional. Streams are available unless "available" is false. A started stream
/// delivers one reading per update interval, the first one interval after the start; "readings"
/// are delivered in order (null is an absent reading) and again from the first while "repeat" is
/// true (the default); with "repeat" false the stream stalls when they run out. Without
/// "readings" a stream delivers the values of a phone lying still on a table. Location events
/// fire "after" seconds after startUpdatingLocation, only while updates run; without "events"
/// one fix at a default position arrives 0.5 s after the start. The fixes of an event say that
/// they come from the provider "simulated" (CLLocation::source()), or from the provider that
/// "source" names (1 to 64 letters, digits, '-', '_' or '.'; not allowed on a failure).
///
/// Recorded scenarios (written by `pemdor-sensors record`) use these same keys, and every one of
/// them: "clock.start" is the wall-clock time when the recording started; each available stream
/// has "readings" in the order they came, absent ones as null, with "repeat" false, so that a
/// replay stalls where the recording ended; an unavailable stream is "available": false;
/// "servicesEnabled" and "authorizationStatus" are as the location service reported them at the
/// start; "events" lists every location callback as it came (a list, a single location with or
/// without "from", or a failure), "after" counting from the start of the updates, and each fix
/// event has the "source" of its fixes where a provider named it (so that a replay reports the
/// provider that delivered each fix of the recorded run). When updates
/// were not started (services off or not authorised) "events" is an empty list: a replay then
/// refuses the start by itself. Numbers are written in the shortest form that reads back as the
/// same double ("-0.0" for negative zero), so that a replay in virtual time gives the collector
/// the very readings, positions and times of the recorded run.
///
/// Motion, in detail: deliveries fall at start + k × interval, without drift. Every start (also
/// of a running stream, which replaces its queue and handler) begins again from the first
/// reading. An interval set while a stream runs applies at once: the next reading comes one new
/// interval later. Intervals below 0.001 s, non-finite or not positive, become 0.001 s. A stalled
/// stream stays active but keeps no timer, so a virtual dispatcher goes idle. The streams of a
/// manager that share a queue, an interval and a start time (streams started within 2 ms of each
/// other, before the first reading, count as started together) take their readings on one timer
/// wake-up, which runs on the handlers' queue and calls the handlers one after another in the
/// order accelerometer, gyroscope, magnetometer, device motion. Once that wake-up has begun, its
/// readings arrive even after a stop from another thread, as on a real device; a stop made by an
/// earlier handler of the same wake-up drops the stream's reading.
///
/// Location, in detail: events fire in their order, each at the later of its own time and the
/// time of the one before; a stop drops every callback not yet delivered, and a restart plays
/// the events again from the new start. A start while services are disabled or the status is not
/// 3 or 4 delivers one didFailWithError and starts nothing. Callbacks arrive on the main queue,
/// never inside the call that started them.
///
/// Threads: everything here may be called from any thread, except that a virtual dispatcher is
/// driven from one thread only. No lock is held while a handler or a delegate runs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Platform.h"

namespace pemdor {

/// The script of one simulated motion stream (a stream's object in a scenario).
struct SimStreamScript {
  /// Whether the stream's sensor exists ("available").
  bool available = true;
  /// nullopt: the still-phone values. An element that is nullopt is an absent reading.
  std::optional<std::vector<std::optional<CMVector>>> readings;
  /// Whether the readings start again from the first when they run out ("repeat"); false: the
  /// stream stalls.
  bool repeat = true;
};

/// One location callback of a scenario (an element of "events").
struct SimLocationEvent {
  /// Which callback the event makes.
  enum class Kind {
    locations,  ///< locationManagerDidUpdateLocations with `locations`.
    location,   ///< locationManagerDidUpdateToLocation with `location` and `from`.
    fail,       ///< locationManagerDidFailWithError.
  };
  /// Seconds after the start of the updates.
  double after = 0.0;
  /// Which callback.
  Kind kind = Kind::locations;
  /// For Kind::locations: the list handed to locationManagerDidUpdateLocations (may be empty).
  std::vector<CLLocationCoordinate2D> locations;
  /// For Kind::location: the new and the previous location.
  CLLocationCoordinate2D location;
  /// For Kind::location: the previous location, nullopt for none.
  std::optional<CLLocationCoordinate2D> from;
  /// For Kind::locations and Kind::location: the source() of the fixes the event delivers;
  /// empty for "simulated".
  std::string source;
};

/// A scenario of the simulated device, as read from JSON or built in code (see the file's
/// description for the JSON form and the rules of the simulation).
struct SimScenario {
  /// The wall clock at the start; nullopt: the real time when the device is made.
  std::optional<double> clockStart;
  /// Indexed by MotionStream.
  std::array<SimStreamScript, kMotionStreamCount> streams;
  /// Whether location services are enabled ("servicesEnabled").
  bool servicesEnabled = true;
  /// The location service's authorisation ("authorizationStatus").
  CLAuthorizationStatus authorizationStatus = kCLAuthorizationStatusAuthorizedWhenInUse;
  /// nullopt: one fix at kDefaultPosition 0.5 s after the start.
  std::optional<std::vector<SimLocationEvent>> events;

  /// The position of the default fix.
  static constexpr CLLocationCoordinate2D kDefaultPosition{52.520008, 13.404954};
};

/// The outcome of reading a scenario: the scenario, or a message that names the source and the
/// place in it: "s.json: motion.gyroscope.readings[2]: expected an array of 3 numbers or null",
/// "s.json: line 3, column 7: <parse error>", "s.json: location.colour: unknown key".
struct SimScenarioResult {
  /// The scenario read, or nullopt when it was refused.
  std::optional<SimScenario> scenario;
  /// Why it was refused; "" when it was read.
  std::string error;
  /// Whether the scenario was read.
  explicit operator bool() const { return scenario.has_value(); }
};

/// Reads a scenario from JSON `text`. `source` names the input in messages (a file name, or
/// "scenario"). None of the readers throws: a bad input gives a result without a scenario and
/// with the message.
SimScenarioResult parseSimScenario(std::string_view text, std::string_view source = "scenario");
/// Reads a scenario from a JSON value, as parseSimScenario() does from text.
SimScenarioResult simScenarioFromJson(const nlohmann::json& value,
                                      std::string_view source = "scenario");
/// Reads a file; missing, unreadable, empty and binary files, directories, other non-regular
/// files and files over 16 MiB (checked by size, before reading) are refused with a message.
SimScenarioResult loadSimScenarioFile(const std::string& path);

/// The simulated device and its controls. Made on a dispatcher; gives a platform whose motion
/// and location services are this device.
class SimulatedDevice {
 public:
  /// nullptr when `dispatcher` is null. The clock reads the scenario's start (or the real time
  /// now) at this call.
  static std::shared_ptr<SimulatedDevice> create(SimScenario scenario,
                                                 std::shared_ptr<Dispatcher> dispatcher);
  /// Tests and hosts hold the device through the shared pointer create() gives.
  virtual ~SimulatedDevice() = default;

  /// A platform on the device's dispatcher, with the device's clock, motion and location.
  virtual std::shared_ptr<Platform> platform() = 0;
  /// The device's motion service.
  virtual std::shared_ptr<MotionService> motionService() = 0;
  /// The device's location service.
  virtual std::shared_ptr<LocationService> locationService() = 0;
  /// The device's clock: the scenario's start, moving with the dispatcher's time.
  virtual std::shared_ptr<WallClock> clock() = 0;

  /// @name Controls
  /// Change the device as a test goes; each takes effect from the next call that consults it.
  /// @{

  /// Makes `stream`'s sensor exist or not.
  virtual void setStreamAvailable(MotionStream stream, bool available) = 0;
  /// Switches location services on or off.
  virtual void setServicesEnabled(bool enabled) = 0;
  /// Sets the location service's authorisation.
  virtual void setAuthorizationStatus(CLAuthorizationStatus status) = 0;
  /// @}

  /// @name Observations
  /// What the device has done, for tests.
  /// @{

  /// Readings handed to handlers so far, per stream, over every manager.
  virtual std::uint64_t deliveriesHanded(MotionStream stream) const = 0;
  /// Streams started and not stopped, over every manager.
  virtual std::size_t activeStreams() const = 0;
  /// Location managers whose updates are running now.
  virtual std::size_t locationUpdatesRunning() const = 0;
  /// Location managers made so far.
  virtual std::size_t locationManagersMade() const = 0;
  /// @}
};

}  // namespace pemdor
