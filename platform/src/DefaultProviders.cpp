// SPDX-License-Identifier: MIT
#include "DefaultProviders.h"

#include <array>
#include <utility>
#include <vector>

#include "pemdor/platform/Providers.h"

namespace pemdor {

ProviderPresence iioMotionPresence() {
  if (!iioProviderBuilt()) return ProviderPresence::notBuilt;
  return iioMotionDevicesPresent() ? ProviderPresence::present : ProviderPresence::absent;
}

ProviderPresence gpsdPresence(const GpsdEndpoint& endpoint) {
  if (!gpsdProviderBuilt()) return ProviderPresence::notBuilt;
  return gpsdAnswers(endpoint) ? ProviderPresence::present : ProviderPresence::absent;
}

ProviderPresence geocluePresence() {
  if (!geoclueProviderBuilt()) return ProviderPresence::notBuilt;
  return probeGeoclue().present() ? ProviderPresence::present : ProviderPresence::absent;
}

namespace detail {
namespace {

// A real provider the default platform may use: how to look for it and how to make it.
template <typename Service>
struct Candidate {
  ProviderPresence (*presence)();
  std::shared_ptr<Service> (*make)(const std::shared_ptr<Dispatcher>& dispatcher);
};

// The candidates in order of preference; a new provider is one more row. Locations: GeoClue2
// before gpsd, for the reason given in Providers.h (the first one that decides consent is the
// consent member of a combination).
constexpr std::array<Candidate<MotionService>, 1> kMotionCandidates{{
    // IIO devices serve the streams they can and input devices the rest (see Providers.h).
    {[] {
       const ProviderPresence iio = iioMotionPresence();
       const ProviderPresence input = evdevMotionPresence();
       if (iio == ProviderPresence::present || input == ProviderPresence::present) {
         return ProviderPresence::present;
       }
       return iio == ProviderPresence::notBuilt && input == ProviderPresence::notBuilt
                  ? ProviderPresence::notBuilt
                  : ProviderPresence::absent;
     },
     [](const std::shared_ptr<Dispatcher>& dispatcher) {
       return makeLinuxMotionService(dispatcher);
     }},
}};
constexpr std::array<Candidate<LocationService>, 2> kLocationCandidates{{
    {[] { return geocluePresence(); },
     [](const std::shared_ptr<Dispatcher>& dispatcher) {
       return makeGeoclueLocationService(dispatcher);
     }},
    {[] { return gpsdPresence(); },
     [](const std::shared_ptr<Dispatcher>& dispatcher) {
       return makeGpsdLocationService(dispatcher);
     }},
}};

// Every candidate that is present and starts, in order.
template <typename Service, std::size_t N>
std::vector<std::shared_ptr<Service>> allPresent(
    const std::array<Candidate<Service>, N>& candidates,
    const std::shared_ptr<Dispatcher>& dispatcher) {
  std::vector<std::shared_ptr<Service>> services;
  for (const auto& candidate : candidates) {
    if (candidate.presence() != ProviderPresence::present) continue;
    if (auto service = candidate.make(dispatcher)) services.push_back(std::move(service));
  }
  return services;
}

// The first candidate that is present and starts; nullptr when none does.
template <typename Service, std::size_t N>
std::shared_ptr<Service> firstPresent(const std::array<Candidate<Service>, N>& candidates,
                                      const std::shared_ptr<Dispatcher>& dispatcher) {
  for (const auto& candidate : candidates) {
    if (candidate.presence() != ProviderPresence::present) continue;
    if (auto service = candidate.make(dispatcher)) return service;
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<MotionService> makeDefaultMotionService(
    const std::shared_ptr<Dispatcher>& dispatcher) {
  if (auto service = firstPresent(kMotionCandidates, dispatcher)) return service;
  return makeNoMotionService();
}

std::shared_ptr<LocationService> makeDefaultLocationService(
    const std::shared_ptr<Dispatcher>& dispatcher) {
  // Every location service that is there is used, together where there are several.
  auto services = allPresent(kLocationCandidates, dispatcher);
  if (services.empty()) return makeNoLocationService();
  if (services.size() == 1) return services.front();
  return makeCombinedLocationService(std::move(services));
}

}  // namespace detail
}  // namespace pemdor
