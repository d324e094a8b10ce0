// SPDX-License-Identifier: MIT
#include "pemdor/PemdorJsonWrapper.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>

namespace {

// The dictionary that a callback run turns into its snapshot text: three lists of ten
// reading strings each.
nlohmann::json snapshotDictionary() {
  nlohmann::json dictionary = nlohmann::json::object();
  for (const char* key : {"Acceleration", "Gyroscope", "Magnetic"}) {
    nlohmann::json readings = nlohmann::json::array();
    for (int i = 0; i < 10; ++i) {
      readings.push_back("[0.0" + std::to_string(i) + ", -0.98, 0.1" + std::to_string(i) + "]");
    }
    dictionary[key] = std::move(readings);
  }
  return dictionary;
}

void serialiseSnapshot(benchmark::State& state) {
  const std::optional<nlohmann::json> dictionary = snapshotDictionary();
  for (auto _ : state) {
    auto text = pemdor::PemdorJsonWrapper::convertToJsonStringWithDictionary(dictionary);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(serialiseSnapshot);

void parseSnapshot(benchmark::State& state) {
  const std::optional<std::string> text =
      pemdor::PemdorJsonWrapper::convertToJsonStringWithDictionary(snapshotDictionary());
  for (auto _ : state) {
    auto value = pemdor::PemdorJsonWrapper::convertoDictionaryWithJsonString(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text ? text->size() : 0));
}
BENCHMARK(parseSnapshot);

}  // namespace
