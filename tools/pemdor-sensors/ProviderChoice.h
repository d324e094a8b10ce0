// SPDX-License-Identifier: MIT
#pragma once

// How pemdor-sensors chooses its providers: from what the command line asks and from what a
// look at the machine finds. Only lookForProviders looks at the machine; the rest is pure, so
// that the policy is tested without devices.
//
// A new real provider is a value of MotionChoice or LocationChoice, a field of Findings, a line
// in lookForProviders, a row in the provider list of its kind in ProviderChoice.cpp (in the
// order "auto" prefers them) and a case where HostSession builds the platform.

#include <string>
#include <vector>

#include "CommandLine.h"
#include "pemdor/platform/Providers.h"

namespace pemdor::host {

/// What the command line asks of the providers, after the defaults that a scenario or virtual
/// time imply.
struct ProviderRequest {
  MotionChoice motion = MotionChoice::automatic;
  LocationChoice location = LocationChoice::automatic;
  /// For LocationChoice::combined: the services asked for together.
  std::vector<LocationChoice> locationMembers;
  /// Where gpsd is looked for and used.
  GpsdEndpoint gpsd;
  /// info reports what every real provider would find; other commands look only where the
  /// choice depends on it.
  bool lookEverywhere = false;
};

/// The request of `options`. A scenario or virtual time make "auto" mean the simulated device.
/// Throws UsageError for combinations that cannot run: virtual time with a real provider, a
/// scenario that neither motion nor location uses.
ProviderRequest providerRequest(const Options& options);

/// What a look for a real provider found; notLooked where the choice did not need a look.
enum class Finding { notLooked, notBuilt, absent, present };

struct Findings {
  Finding iio = Finding::notLooked;
  Finding gpsd = Finding::notLooked;
  Finding geoclue = Finding::notLooked;
  /// What the look at the system bus found, when GeoClue2 was looked for.
  GeoclueProbe bus{};
  Finding evdev = Finding::notLooked;
};

/// Looks for the real providers that `request` depends on, through the same presence query as
/// the process default platform.
Findings lookForProviders(const ProviderRequest& request);

/// The providers to use, never "auto", and what the host says about them.
struct ProviderChoice {
  MotionChoice motion = MotionChoice::sim;
  LocationChoice location = LocationChoice::sim;
  /// For LocationChoice::combined: the services used together, in order (never "auto" or
  /// "none").
  std::vector<LocationChoice> locationMembers;
  GpsdEndpoint gpsd;
  /// Whether "auto" chose a real motion provider: IIO and input devices then serve together,
  /// each stream from IIO where an IIO device serves it (makeLinuxMotionService).
  bool motionCombined = false;
  /// The line for stderr when "auto" fell back to the simulated device ("no IIO motion
  /// devices found and ...; using the simulated device"), without the program name and
  /// newline; empty when it did not fall back.
  std::string note;
  /// The "motion: " and "location: " lines of info, without the key.
  std::string motionReport;
  std::string locationReport;
};

/// Chooses the providers. For motion "auto" takes the first real provider found; for locations
/// it takes every real provider found, combined when there are several (in the order GeoClue2,
/// gpsd); otherwise the simulated device. Throws UsageError (without the --help hint) when a
/// provider asked for by name, alone or in a list, is not built or not found.
ProviderChoice chooseProviders(const ProviderRequest& request, const Findings& findings);

}  // namespace pemdor::host
