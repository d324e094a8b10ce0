// SPDX-License-Identifier: MIT
#include "ProviderChoice.h"

#include <algorithm>
#include <type_traits>
#include <vector>

namespace pemdor::host {
namespace {

// One real provider as the choice and the messages speak of it.
template <typename Choice>
struct RealProvider {
  Choice choice;
  Finding finding;
  /// The command line that asks for it: "--motion iio".
  std::string asked;
  /// How a report names it when it was chosen ("iio") and when it was not ("IIO").
  std::string chosenName;
  std::string lookedName;
  /// "IIO motion provider"; the build lacks it when `library` was not found.
  std::string provider;
  std::string library;
  /// Why it is not there: "no IIO motion devices found".
  std::string absentReason;
  /// A look's finding in a report.
  std::string absentWord;
  std::string presentWord;
};

std::string endpointText(const GpsdEndpoint& endpoint) {
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + endpoint.port;
}

// The real providers of each kind, in the order "auto" prefers them.
std::vector<RealProvider<MotionChoice>> motionProviders(const Findings& findings) {
  return {{MotionChoice::iio, findings.iio, "--motion iio", "iio", "IIO", "IIO motion provider",
           "libiio", "no IIO motion devices found", "no devices", "found"},
          {MotionChoice::evdev, findings.evdev, "--motion evdev", "evdev", "input devices",
           "input-device motion provider", "libevdev", "no usable input motion devices found",
           "none usable", "found"}};
}

// What the look at the system bus found, in the words of a report: "no system bus", "not on the
// system bus", "running on the system bus".
std::string busWords(const GeoclueProbe& bus, bool present) {
  if (present) return bus.running ? "running on the system bus" : "activatable on the system bus";
  if (!bus.bus) return "no system bus";
  if (!bus.problem.empty()) return "the system bus did not answer (" + bus.problem + ")";
  return "not on the system bus";
}

std::vector<RealProvider<LocationChoice>> locationProviders(const ProviderRequest& request,
                                                            const Findings& findings) {
  const std::string gpsd = "gpsd " + endpointText(request.gpsd);
  const std::string noGeoclue =
      findings.bus.bus ? "GeoClue2 is not on the system bus" : "no system bus for GeoClue2";
  return {
      {LocationChoice::geoclue, findings.geoclue, "--location geoclue", "geoclue", "GeoClue2",
       "GeoClue2 location provider", "libsystemd", noGeoclue, busWords(findings.bus, false),
       busWords(findings.bus, true)},
      {LocationChoice::gpsd, findings.gpsd, "--location gpsd", gpsd, gpsd, "gpsd location provider",
       "libgps", "no gpsd answers at " + endpointText(request.gpsd), "no answer", "answers"}};
}

template <typename Choice>
std::string findingText(const RealProvider<Choice>& provider) {
  switch (provider.finding) {
    case Finding::notLooked:
      return "not probed";
    case Finding::notBuilt:
      return "not built";
    case Finding::absent:
      return provider.absentWord;
    case Finding::present:
      return provider.presentWord;
  }
  return "?";
}

// Resolves one kind: "auto" takes the first provider found and otherwise `fallback`, adding to
// `reasons` why each was passed over; a provider asked for by name must be built and found.
template <typename Choice>
Choice resolve(Choice asked, Choice automatic, Choice fallback,
               const std::vector<RealProvider<Choice>>& providers,
               std::vector<std::string>& reasons) {
  if (asked == automatic) {
    for (const auto& provider : providers) {
      if (provider.finding == Finding::present) return provider.choice;
    }
    for (const auto& provider : providers) {
      if (provider.finding == Finding::notBuilt) {
        reasons.push_back("this build has no " + provider.provider);
      } else if (provider.finding == Finding::absent) {
        reasons.push_back(provider.absentReason);
      }
    }
    return fallback;
  }
  for (const auto& provider : providers) {
    if (provider.choice != asked) continue;
    if (provider.finding == Finding::notBuilt) {
      throw UsageError(provider.asked + ": this build has no " + provider.provider + " (" +
                           provider.library + " was not found when it was built)",
                       false);
    }
    if (provider.finding == Finding::absent) {
      throw UsageError(provider.asked + ": " + provider.absentReason, false);
    }
  }
  return asked;
}

// Resolves the locations: "auto" takes every provider found, combined when there are several;
// a list needs each real member built and found.
LocationChoice resolveLocation(const ProviderRequest& request,
                               const std::vector<RealProvider<LocationChoice>>& providers,
                               std::vector<LocationChoice>& members,
                               std::vector<std::string>& reasons) {
  if (request.location == LocationChoice::automatic) {
    for (const auto& provider : providers) {
      if (provider.finding == Finding::present) members.push_back(provider.choice);
    }
    if (members.size() == 1) return members.front();
    if (members.size() > 1) return LocationChoice::combined;
    return resolve(request.location, LocationChoice::automatic, LocationChoice::sim, providers,
                   reasons);
  }
  if (request.location != LocationChoice::combined) {
    return resolve(request.location, LocationChoice::automatic, LocationChoice::sim, providers,
                   reasons);
  }
  for (const LocationChoice member : request.locationMembers) {
    resolve(member, LocationChoice::automatic, LocationChoice::sim, providers, reasons);
  }
  members = request.locationMembers;
  return LocationChoice::combined;
}

// "combined (geoclue: running on the system bus; gpsd localhost:2947: answers)": each member
// and what was found of it.
std::string combinedReport(const std::vector<LocationChoice>& members,
                           const std::vector<RealProvider<LocationChoice>>& providers) {
  std::string parts;
  for (const LocationChoice member : members) {
    std::string part = "simulated";
    for (const auto& provider : providers) {
      if (provider.choice == member) part = provider.chosenName + ": " + provider.presentWord;
    }
    parts += (parts.empty() ? "" : "; ") + part;
  }
  return "combined (" + parts + ")";
}

// "iio (found)" for a chosen real provider; otherwise `name` and what each look found:
// "simulated (IIO: no devices)".
template <typename Choice>
std::string report(Choice chosen, const std::string& name,
                   const std::vector<RealProvider<Choice>>& providers) {
  std::string looks;
  for (const auto& provider : providers) {
    if (provider.choice == chosen) return provider.chosenName + " (" + provider.presentWord + ")";
    looks += (looks.empty() ? "" : "; ") + provider.lookedName + ": " + findingText(provider);
  }
  return looks.empty() ? name : name + " (" + looks + ")";
}

Finding findingOf(ProviderPresence presence) {
  switch (presence) {
    case ProviderPresence::notBuilt:
      return Finding::notBuilt;
    case ProviderPresence::absent:
      return Finding::absent;
    case ProviderPresence::present:
      return Finding::present;
  }
  return Finding::absent;
}

}  // namespace

ProviderRequest providerRequest(const Options& options) {
  ProviderRequest request;
  request.motion = options.motion;
  request.location = options.location;
  request.lookEverywhere = options.command == Command::info;
  request.locationMembers = options.locationMembers;
  const auto asks = [&](LocationChoice provider) {
    return options.location == provider ||
           std::find(options.locationMembers.begin(), options.locationMembers.end(), provider) !=
               options.locationMembers.end();
  };
  if (asks(LocationChoice::gpsd)) request.gpsd = options.gpsd;

  // A scenario and virtual time both describe the simulated device: "auto" then means it.
  const bool simulatedByDefault = options.scenarioPath || options.virtualTime;
  if (request.motion == MotionChoice::automatic && simulatedByDefault) {
    request.motion = MotionChoice::sim;
  }
  if (request.location == LocationChoice::automatic && simulatedByDefault) {
    request.location = LocationChoice::sim;
  }
  if (options.virtualTime && request.motion == MotionChoice::iio) {
    throw UsageError("--virtual-time runs only the simulated device; it cannot drive --motion iio");
  }
  if (options.virtualTime && request.motion == MotionChoice::evdev) {
    throw UsageError(
        "--virtual-time runs only the simulated device; it cannot drive --motion evdev");
  }
  if (options.virtualTime && asks(LocationChoice::gpsd)) {
    throw UsageError(
        "--virtual-time runs only the simulated device; it cannot drive --location gpsd");
  }
  if (options.virtualTime && asks(LocationChoice::geoclue)) {
    throw UsageError(
        "--virtual-time runs only the simulated device; it cannot drive --location geoclue");
  }
  if (options.scenarioPath && request.motion != MotionChoice::sim &&
      request.location != LocationChoice::sim && !asks(LocationChoice::sim)) {
    throw UsageError(
        "--scenario describes the simulated device, but neither --motion nor --location uses it");
  }
  return request;
}

Findings lookForProviders(const ProviderRequest& request) {
  const auto wanted = [&](auto asked, auto automatic, auto provider) {
    if constexpr (std::is_same_v<decltype(provider), LocationChoice>) {
      const auto& members = request.locationMembers;
      if (std::find(members.begin(), members.end(), provider) != members.end()) return true;
    }
    return request.lookEverywhere || asked == automatic || asked == provider;
  };
  Findings findings;
  if (wanted(request.motion, MotionChoice::automatic, MotionChoice::iio)) {
    findings.iio = findingOf(iioMotionPresence());
  }
  if (wanted(request.motion, MotionChoice::automatic, MotionChoice::evdev)) {
    findings.evdev = findingOf(evdevMotionPresence());
  }
  if (wanted(request.location, LocationChoice::automatic, LocationChoice::geoclue)) {
    // The same look as geocluePresence(), kept whole for the report.
    findings.bus = probeGeoclue();
    findings.geoclue = !geoclueProviderBuilt()  ? Finding::notBuilt
                       : findings.bus.present() ? Finding::present
                                                : Finding::absent;
  }
  if (wanted(request.location, LocationChoice::automatic, LocationChoice::gpsd)) {
    findings.gpsd = findingOf(gpsdPresence(request.gpsd));
  }
  return findings;
}

ProviderChoice chooseProviders(const ProviderRequest& request, const Findings& findings) {
  const auto motionRows = motionProviders(findings);
  const auto locationRows = locationProviders(request, findings);
  ProviderChoice choice;
  std::vector<std::string> reasons;
  choice.motion =
      resolve(request.motion, MotionChoice::automatic, MotionChoice::sim, motionRows, reasons);
  choice.location = resolveLocation(request, locationRows, choice.locationMembers, reasons);
  choice.gpsd = request.gpsd;
  for (std::size_t i = 0; i < reasons.size(); ++i) {
    choice.note += (i == 0 ? "" : " and ") + reasons[i];
  }
  if (!choice.note.empty()) choice.note += "; using the simulated device";
  choice.motionReport = report(choice.motion, "simulated", motionRows);
  if (request.motion == MotionChoice::automatic && choice.motion != MotionChoice::sim) {
    choice.motionCombined = true;
    if (findings.iio == Finding::present && findings.evdev == Finding::present) {
      choice.motionReport = "iio+evdev (found)";
    }
  }
  choice.locationReport =
      choice.location == LocationChoice::combined
          ? combinedReport(choice.locationMembers, locationRows)
          : report(choice.location, choice.location == LocationChoice::none ? "none" : "simulated",
                   locationRows);
  return choice;
}

}  // namespace pemdor::host
