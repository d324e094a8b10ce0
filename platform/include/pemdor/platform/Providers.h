// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The real providers of Linux devices, each built only where its library is installed.
///
///  - IIO motion (libiio, local context): accelerometer, gyroscope and magnetometer from
///    /sys/bus/iio devices, read through sysfs or, for devices that have only scan elements,
///    through their buffers; device motion (gravity) from a gravity channel or derived from the
///    accelerometer (see below). Mount matrices and sensor locations come from udev (systemd's
///    hwdb) where it has them, else from the driver; iioDeviceReport() says which device serves
///    each stream.
///  - Input-device motion (libevdev and libudev): accelerometers and gyroscopes that the kernel
///    exposes as evdev nodes under /dev/input with INPUT_PROP_ACCELEROMETER set (udev tags them
///    ID_INPUT_ACCELEROMETER=1): laptop accelerometers (lis3lv02d, hdaps, applesmc), the
///    "Motion Sensors" nodes of game controllers (accelerometer on ABS_X/Y/Z, gyroscope on
///    ABS_RX/RY/RZ) and the Wii Remote. Units come from each axis's resolution, which the kernel
///    gives in units per g for accelerometer axes and units per degree per second for gyroscope
///    axes; where the driver gives none (0), from udev's EVDEV_ABS_<axis> property (systemd's
///    60-evdev hwdb); failing both, an accelerometer takes the magnitude of its first non-zero
///    reading when sampling begins as 1 g (the device is assumed still then; the device report
///    says so) and a gyroscope is not used.
///    hwdb's ACCEL_MOUNT_MATRIX turns both into the device frame. Accelerations have gravity's
///    sign, as the IIO provider's: the kernel reports the reaction to gravity, +1 g upward.
///    Each manager wakes once per due tick, drains what the kernel queued without blocking and
///    takes the latest complete frame of each axis; a node whose queue overflowed (SYN_DROPPED)
///    is brought up to date as libevdev documents. A node that cannot be opened (input nodes are
///    often readable by root and the input group only) is left out and named in
///    evdevDeviceReport(); an unplugged device's streams deliver an error, as a vanished IIO
///    device's do, until a device serves them again.
///  - gpsd positions (libgps): fixes from a gpsd daemon, by default at localhost:2947.
///  - GeoClue2 positions (sd-bus from libsystemd): fixes from the org.freedesktop.GeoClue2
///    service on the system bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus).
///
/// Device choice for motion (makeLinuxMotionService and the process default platform): an IIO
/// device serves a stream wherever one can (its own device rules are those of iioDeviceReport());
/// an input device serves only the streams that no IIO device serves. Among input devices, the
/// first readable node (in the order of their names) whose axes and units are complete serves a
/// stream; device motion comes from the node chosen for the accelerometer, with gravity derived
/// from its accelerometer and, where the same node has a usable gyroscope, that gyroscope.
///
/// Where a device has no gravity channel, every motion provider derives gravity the same way, and
/// it is always a unit vector (1 g) in the device frame, pointing the way gravity pulls:
///  - with an accelerometer and a gyroscope (on one device or on two of the same machine, the
///    gyroscope read at the same tick and taken in the accelerometer's frame), by fusing them:
///    the estimate turns with the rotation the gyroscope measures, so it follows a turning device
///    at once, and moves slowly (time constant 2 s) toward the accelerometer's direction, which
///    corrects the gyroscope's drift. The correction fades as the accelerometer's magnitude
///    departs from 1 g (0 at 0.2 g away), so shaking barely moves gravity, and quickens (0.2 s)
///    while the device is still;
///  - with an accelerometer only, as the accelerometer through a low-pass filter with a 0.3 s
///    time constant, normalised to 1 g; it lags a turning device (by about 25° at 90°/s) and
///    carries part of any shaking.
/// A device at rest gives the accelerometer's direction at 1 g either way.
///
/// The process default platform takes its positions from GeoClue2 and gpsd together (a combined
/// location service, makeCombinedLocationService) where both are there: GeoClue2 on the system
/// bus and a gpsd that answers. Where only one of them is there it uses that one, and where
/// neither is it has location services off. GeoClue2 is the combination's consent member: it is
/// how Linux desktops and phones hand out positions and it asks the user through its agent, while
/// gpsd runs only where someone has set it up for a GPS receiver and has no notion of consent.
/// Used together, gpsd's receiver gives a position where GeoClue2 at the collector's accuracies
/// does not (it starts its GPS sources only for EXACT), and where GeoClue2 has no agent for the
/// user (it then never answers CreateClient, and drops out once its call bound has passed); a
/// user who refused GeoClue2 gets no position from gpsd either.
///
/// Every function is thread-safe. The presence checks are bounded and short.

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "pemdor/platform/CoreLocation.h"
#include "pemdor/platform/CoreMotion.h"
#include "pemdor/platform/Dispatch.h"

namespace pemdor {

/// Whether this build contains the IIO motion provider.
bool iioProviderBuilt();
/// Whether an IIO accelerometer, gyroscope or magnetometer exists now (false without the
/// provider).
bool iioMotionDevicesPresent();
/// The IIO motion service, delivering on `dispatcher`'s queues; nullptr without the provider.
std::shared_ptr<MotionService> makeIioMotionService(std::shared_ptr<Dispatcher> dispatcher);

/// One kind of channel on an IIO device, as the IIO provider sees it.
struct IioChannelReport {
  /// The channel prefix: "accel", "anglvel", "magn" or "gravity".
  std::string kind;
  /// Whether all three axes are there and can be read; a partial triple is never used.
  bool complete = false;
  /// "sysfs" or "buffer" for a complete triple, "" otherwise.
  std::string readMode;
  /// The mount matrix applied to the readings, row-major, and where it came from: "udev"
  /// (systemd's hwdb), "sysfs" (the driver), or "none" (identity).
  std::array<double, 9> matrix{};
  /// Where `matrix` came from: "udev", "sysfs" or "none".
  std::string matrixSource;
  /// The streams this device serves with this kind: "accelerometer", "gyroscope",
  /// "magnetometer", "deviceMotion".
  std::vector<std::string> chosenFor;
};

/// One IIO device, for diagnostics: why a reading looks rotated or missing.
struct IioDeviceReport {
  /// The device's IIO id, e.g. "iio:device0".
  std::string id;
  /// The driver's name of the device.
  std::string name;
  /// The kernel's label of the device, "" when it has none.
  std::string label;
  /// "display", "base" or "" (unlabelled).
  std::string location;
  /// The name of the device's current trigger, "" when it has none.
  std::string trigger;
  /// Each kind of motion channel the device has.
  std::vector<IioChannelReport> channels;
  /// Corrections refused (a malformed udev matrix) and choices worth a word (a lone base
  /// accelerometer).
  std::vector<std::string> notes;
};

/// Every IIO device present now, with the provider's choice for each stream (empty without the
/// provider or without devices). Reads sysfs and udev, never samples.
std::vector<IioDeviceReport> iioDeviceReport();

/// Whether this build contains the input-device (evdev) motion provider.
bool evdevProviderBuilt();
/// Whether a readable input accelerometer or gyroscope exists now (false without the provider).
bool evdevMotionDevicesPresent();
/// The input-device motion service, delivering on the queues given at each start; nullptr
/// without the provider.
std::shared_ptr<MotionService> makeEvdevMotionService(std::shared_ptr<Dispatcher> dispatcher);
/// The motion service of a Linux machine: each stream from an IIO device where one serves it,
/// otherwise from an input device (the choice is made at each start); nullptr when this build
/// has neither provider. Its name() is "iio+evdev", or that of the one provider built.
std::shared_ptr<MotionService> makeLinuxMotionService(std::shared_ptr<Dispatcher> dispatcher);

/// One sensor (accelerometer or gyroscope) of an input device, as the input-device provider
/// sees it.
struct EvdevSensorReport {
  /// "accel" (ABS_X, ABS_Y, ABS_Z) or "gyro" (ABS_RX, ABS_RY, ABS_RZ).
  std::string kind;
  /// The evdev axis names, "ABS_X" and so on, with the resolution of each (units per g, or per
  /// degree per second) as the provider uses it; 0 where none is known.
  std::array<std::string, 3> axes;
  /// The resolution of each axis, in the order of `axes`.
  std::array<int, 3> resolution{};
  /// Where the resolutions come from: "driver" (the kernel's absinfo), "udev" (an EVDEV_ABS_
  /// property of systemd's hwdb), "calibrated" (an accelerometer without either: the magnitude of
  /// the first reading when sampling begins is taken as 1 g), or "none" (a gyroscope without
  /// either, which is not used).
  std::string resolutionSource;
  /// Whether all three axes are there and have units; a partial triple is never used.
  bool usable = false;
  /// The streams this sensor serves: "accelerometer", "gyroscope", "deviceMotion".
  std::vector<std::string> chosenFor;
};

/// One input device with INPUT_PROP_ACCELEROMETER, for diagnostics.
struct EvdevDeviceReport {
  /// The device node, "/dev/input/event5".
  std::string node;
  /// The driver's name of the device; "" when the node could not be opened.
  std::string name;
  /// Why the node could not be opened ("permission denied"); "" when it could. Such a device
  /// serves nothing and has no sensors listed.
  std::string problem;
  /// The device's accelerometer and gyroscope, where it has them.
  std::vector<EvdevSensorReport> sensors;
  /// The mount matrix applied to both sensors, row-major, and where it came from: "udev"
  /// (ACCEL_MOUNT_MATRIX from systemd's hwdb) or "none" (identity).
  std::array<double, 9> matrix{};
  /// Where `matrix` came from: "udev" or "none".
  std::string matrixSource;
  /// Corrections refused (a malformed udev matrix or resolution) and choices worth a word (a
  /// stream left to an IIO device).
  std::vector<std::string> notes;
};

/// Every input device with INPUT_PROP_ACCELEROMETER present now, with the choice for each stream
/// as makeLinuxMotionService makes it (empty without the provider). Opens each node to read its
/// axes, never samples.
std::vector<EvdevDeviceReport> evdevDeviceReport();

/// Where a gpsd listens.
struct GpsdEndpoint {
  /// A host name or an address.
  std::string host = "localhost";
  /// A port number or a service name.
  std::string port = "2947";
};

/// Whether this build contains the gpsd location provider.
bool gpsdProviderBuilt();
/// Whether a gpsd answers at `endpoint` within `timeoutSeconds` (false without the provider).
bool gpsdAnswers(const GpsdEndpoint& endpoint, double timeoutSeconds = 0.5);
/// The gpsd location service, with callbacks on `dispatcher`'s main queue; nullptr without the
/// provider.
std::shared_ptr<LocationService> makeGpsdLocationService(std::shared_ptr<Dispatcher> dispatcher,
                                                         GpsdEndpoint endpoint = {});

/// How a GeoClue2 location service talks to the service.
struct GeoclueOptions {
  /// The application id sent as the client's DesktopId; GeoClue2 refuses clients without one,
  /// and desktops match it against an installed .desktop file. Empty: the program's name.
  std::string desktopId;
  /// The bound on every D-Bus call, in seconds. A GeoClue2 without an agent for the user never
  /// answers CreateClient; the bound turns that into a failure instead of a wait.
  double callTimeoutSeconds = 3.0;
};

/// What the system bus shows of GeoClue2.
struct GeoclueProbe {
  /// A system bus could be reached.
  bool bus = false;
  /// org.freedesktop.GeoClue2 has an owner now.
  bool running = false;
  /// The bus can start org.freedesktop.GeoClue2 on demand.
  bool activatable = false;
  /// Why the bus could not be asked, when it could not.
  std::string problem;
  /// Whether GeoClue2 can be used: running or activatable.
  bool present() const { return running || activatable; }
};

/// Whether this build contains the GeoClue2 location provider.
bool geoclueProviderBuilt();
/// Asks the system bus about GeoClue2, within `timeoutSeconds` in all (nothing found without the
/// provider).
GeoclueProbe probeGeoclue(double timeoutSeconds = 0.5);
/// The GeoClue2 location service, with callbacks on `dispatcher`'s main queue; nullptr without
/// the provider.
///
/// Its class-level answers: location services are enabled while org.freedesktop.GeoClue2 has an
/// owner or is activatable on the system bus (asked within half a second, the answer kept for a
/// second). GeoClue2 reveals the user's consent only when a client's Start answers, so the
/// authorisation status is 4 (when in use) while the service is there and no refusal has been
/// seen, 2 (denied) once a Start of this service has been refused with AccessDenied or because
/// geolocation is disabled (until a later Start succeeds), and 0 where there is no service.
///
/// A manager asks for the GeoClue2 accuracy level that meets its desiredAccuracy: STREET (6) for
/// kCLLocationAccuracyKilometer and kCLLocationAccuracyThreeKilometers (GeoClue2 blurs positions
/// at NEIGHBORHOOD and coarser levels by several kilometres), EXACT (8) below a kilometre,
/// NEIGHBORHOOD (5) up to 20 km, CITY (4) up to 100 km, COUNTRY (1) beyond. Its distanceFilter
/// becomes the DistanceThreshold in metres, 0 for kCLHeadingFilterNone. GeoClue2 (2.6) starts
/// its GPS and NMEA sources only for EXACT: at STREET it answers from Wi-Fi, a modem or the
/// network, so a machine whose only source is a GPS receiver gives no position at the accuracies
/// the collector asks for; gpsd serves such machines (--location gpsd in the sample host).
///
/// A manager's failures reach its delegate once, and its updates then stop. The error's domain
/// names what happened: "pemdor.geoclue.refused" (Start refused), "pemdor.geoclue.no-bus" (no
/// system bus, or it went away), "pemdor.geoclue.no-service" (nobody provides GeoClue2),
/// "pemdor.geoclue.no-reply" (a call was not answered within the bound),
/// "pemdor.geoclue.service-left" (the service left the bus during the run) and
/// "pemdor.geoclue.failed" (any other error of a call).
std::shared_ptr<LocationService> makeGeoclueLocationService(std::shared_ptr<Dispatcher> dispatcher,
                                                            GeoclueOptions options = {});

/// A location service made of several others, its members. Its managers follow these rules:
///
///  - Start together: startUpdatingLocation starts a manager of every member, each given the
///    manager's desiredAccuracy and distanceFilter unchanged.
///  - First fix wins: the delegate gets every fix of every member as it comes (a list or a single
///    location, as the member delivered it), the first one first, subject to consent.
///  - Consent first: the first member whose decidesConsent() is true (GeoClue2) decides for all.
///    Until its start has been answered, the other members' fixes are held back (the latest one
///    is kept). When its start is allowed (locationManagerDidChangeAuthorization with status 3 or
///    4, or a fix of its own) the held fix is delivered at once. When it is refused (status 1 or
///    2, followed by the member's failure) nothing of any member reaches the delegate any more,
///    and the manager fails once with that member's error and stops every member. When the
///    consent member fails for any other reason (no bus, no service, no reply within its bound,
///    the service left) it drops out, and the held fix is delivered.
///  - Failure means all: the manager fails only when every member has failed, once. The error's
///    domain and code are those of the member that failed last, and its description names every
///    member and its reason: "every location service failed: geoclue: ...; gpsd: ...".
///  - Stop means all: stopUpdatingLocation stops every member, at any moment; once it has
///    returned on the main thread nothing more reaches the delegate.
///  - Class-level answers: location services are enabled when any member's are. The
///    authorisation status is the consent member's while its services are enabled, otherwise the
///    best status among the members whose services are enabled (3, then 4, then 0, 1, 2), or
///    among all members when none is.
///
/// Its name() is "combined"; each fix keeps the source() its member gave it. Its managers'
/// callbacks arrive on the main thread of the members' dispatcher, so every member must deliver
/// on the same main thread. Returns nullptr when `members` is empty or holds a nullptr.
std::shared_ptr<LocationService> makeCombinedLocationService(
    std::vector<std::shared_ptr<LocationService>> members);

/// What a look for a real provider found. The process default platform and the sample host
/// choose from these answers.
enum class ProviderPresence {
  /// This build does not contain the provider.
  notBuilt,
  /// The provider is built but finds nothing to use now.
  absent,
  /// The provider finds something to use now.
  present,
};

/// Whether IIO motion devices can be used now.
ProviderPresence iioMotionPresence();
/// Whether readable input motion devices can be used now.
ProviderPresence evdevMotionPresence();
/// Whether a gpsd answers at `endpoint` now (bounded by gpsdAnswers' default timeout).
ProviderPresence gpsdPresence(const GpsdEndpoint& endpoint = {});
/// Whether GeoClue2 is on the system bus now, running or activatable (bounded by probeGeoclue's
/// default timeout).
ProviderPresence geocluePresence();

}  // namespace pemdor
