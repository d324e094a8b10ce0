// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// The real providers of Linux devices, each built only where its library is installed.
///
///  - IIO motion (libiio, local context): accelerometer, gyroscope and magnetometer from
///    /sys/bus/iio devices, read through sysfs or, for devices that have only scan elements,
///    through their buffers; device motion (gravity) from a gravity channel or derived from the
///    accelerometer. Mount matrices and sensor locations come from udev (systemd's hwdb) where it
///    has them, else from the driver; iioDeviceReport() says which device serves each stream.
///  - gpsd positions (libgps): fixes from a gpsd daemon, by default at localhost:2947.
///  - GeoClue2 positions (sd-bus from libsystemd): fixes from the org.freedesktop.GeoClue2
///    service on the system bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus).
///
/// The process default platform takes its positions from GeoClue2 where the service is on the
/// system bus, otherwise from gpsd where one answers, otherwise it has location services off.
/// GeoClue2 comes first because it is how Linux desktops and phones hand out positions: it asks
/// the user through its agent, and combines whatever sources the machine has (Wi-Fi, a modem,
/// and gpsd itself where one is set up). gpsd runs only where someone has set it up for a GPS
/// receiver, and it has no notion of consent.
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
/// Whether a gpsd answers at `endpoint` now (bounded by gpsdAnswers' default timeout).
ProviderPresence gpsdPresence(const GpsdEndpoint& endpoint = {});
/// Whether GeoClue2 is on the system bus now, running or activatable (bounded by probeGeoclue's
/// default timeout).
ProviderPresence geocluePresence();

}  // namespace pemdor
