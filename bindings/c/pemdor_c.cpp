// SPDX-License-Identifier: MIT
// The C interface: thin wrappers over the collector, the platform and the JSON wrapper. No
// C++ exception crosses into the host: every entry point answers a failure with NULL, -1 or
// nothing.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "CApiHandles.h"
#include "pemdor/PemdorJsonWrapper.h"
#include "pemdor/PemdorSensorTable.h"
#include "pemdor/pemdor.h"
#include "pemdor/version.h"

namespace pemdor::capi {

PlatformCore::~PlatformCore() {
  if (virtualDispatcher) {
    // Whatever is still scheduled (at most the location timeout of a callback run, since every
    // collector ended its run when it was freed) runs now, so that no task keeps a
    // collector, the device and the dispatcher alive in a cycle.
    virtualDispatcher->runUntil([] { return false; }, kLocationWaitSeconds + 1.0);
  }
  if (realDispatcher) realDispatcher->shutdown();
}

bool CompletionGate::enter() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  running_.push_back(std::this_thread::get_id());
  return true;
}

void CompletionGate::leave() {
  {
    std::lock_guard lock(mutex_);
    running_.erase(std::find(running_.begin(), running_.end(), std::this_thread::get_id()));
  }
  left_.notify_all();
}

void CompletionGate::close() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  const auto self = std::this_thread::get_id();
  left_.wait(lock, [&] {
    return std::all_of(running_.begin(), running_.end(), [&](auto id) { return id == self; });
  });
}

namespace {

// A malloc'd copy, so that pemdor_free() (free) releases it; NULL when memory runs out.
char* copyOut(const std::string& text) {
  auto* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

void setError(char** error, const std::string& message) {
  if (error != nullptr) *error = copyOut(message);
}

pemdor_platform* wrap(std::shared_ptr<PlatformCore> core) {
  auto* handle = new pemdor_platform;
  handle->core = std::move(core);
  return handle;
}

// Appends `text` as a JSON string. The collector's texts are ASCII numbers and punctuation;
// quotes, backslashes and control characters are escaped all the same.
void appendJsonString(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      switch (c) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
      }
    } else {
      out += c;
    }
  }
  out += '"';
}

// The dictionary as one compact JSON object, keys in the map's (byte-wise ascending) order, as
// nlohmann::json writes it. Written directly: a sync run of ten minutes holds 24,000 texts.
std::string sensorDataJson(const PemdorSensorData& data) {
  std::vector<std::pair<const std::string*, std::vector<std::string>>> lists;
  std::size_t size = 2;
  for (const auto& [key, value] : data) {
    if (const auto* list = std::get_if<PemdorRecordListRef>(&value)) {
      lists.emplace_back(&key, *list ? (*list)->snapshot() : std::vector<std::string>{});
      for (const auto& entry : lists.back().second) size += entry.size() + 3;
    }
    size += key.size() + 32;
  }
  std::string out;
  out.reserve(size);
  out += '{';
  auto nextList = lists.begin();
  for (const auto& [key, value] : data) {
    if (out.size() > 1) out += ',';
    appendJsonString(out, key);
    out += ':';
    if (const auto* text = std::get_if<std::string>(&value)) {
      appendJsonString(out, *text);
      continue;
    }
    out += '[';
    bool first = true;
    for (const auto& entry : (nextList++)->second) {
      if (!first) out += ',';
      first = false;
      appendJsonString(out, entry);
    }
    out += ']';
  }
  out += '}';
  return out;
}

}  // namespace
}  // namespace pemdor::capi

using namespace pemdor;
using namespace pemdor::capi;

extern "C" {

const char* pemdor_version(void) {
  return PEMDOR_VERSION_TEXT;
}

void pemdor_free(void* p) {
  std::free(p);
}

pemdor_platform* pemdor_platform_default(void) {
  try {
    auto core = std::make_shared<PlatformCore>();
    core->platform = Platform::defaultPlatform();
    if (!core->platform) return nullptr;
    return wrap(std::move(core));
  } catch (...) {
    return nullptr;
  }
}

pemdor_platform* pemdor_platform_simulated(const char* scenario_path, int virtual_time,
                                           char** error) {
  if (error != nullptr) *error = nullptr;
  try {
    SimScenario scenario;
    if (scenario_path != nullptr) {
      SimScenarioResult loaded = loadSimScenarioFile(scenario_path);
      if (!loaded) {
        // The sample host prints the same text (after its name).
        setError(error, loaded.error.empty()
                            ? "cannot read the scenario " + std::string(scenario_path)
                            : loaded.error);
        return nullptr;
      }
      scenario = std::move(*loaded.scenario);
    }
    auto core = std::make_shared<PlatformCore>();
    std::shared_ptr<Dispatcher> dispatcher;
    if (virtual_time != 0) {
      core->virtualDispatcher = VirtualDispatcher::create();
      dispatcher = core->virtualDispatcher;
    } else {
      core->realDispatcher = RealDispatcher::create();
      dispatcher = core->realDispatcher;
    }
    if (!dispatcher) {
      setError(error, "the dispatcher could not be started");
      return nullptr;
    }
    core->device = SimulatedDevice::create(std::move(scenario), dispatcher);
    if (core->device) core->platform = core->device->platform();
    if (!core->platform) {
      setError(error, "the simulated device could not be made");
      return nullptr;
    }
    return wrap(std::move(core));
  } catch (...) {
    setError(error, "out of memory");
    return nullptr;
  }
}

int pemdor_platform_is_virtual_time(const pemdor_platform* platform) {
  return platform != nullptr && platform->core->virtualDispatcher ? 1 : 0;
}

int pemdor_platform_advance(pemdor_platform* platform, double seconds) {
  if (platform == nullptr || !platform->core->virtualDispatcher || !std::isfinite(seconds) ||
      seconds < 0.0) {
    return -1;
  }
  try {
    platform->core->virtualDispatcher->advanceBy(seconds);
    return 0;
  } catch (...) {
    return -1;
  }
}

char* pemdor_platform_describe(const pemdor_platform* platform) {
  if (platform == nullptr) return nullptr;
  try {
    return copyOut(platform->core->platform->describe());
  } catch (...) {
    return nullptr;
  }
}

void pemdor_platform_free(pemdor_platform* platform) {
  delete platform;
}

pemdor_collector* pemdor_collector_new(pemdor_platform* platform) {
  try {
    std::shared_ptr<PlatformCore> core;
    if (platform != nullptr) {
      core = platform->core;
    } else {
      core = std::make_shared<PlatformCore>();
      core->platform = Platform::defaultPlatform();
    }
    if (!core->platform) return nullptr;
    auto collector = PemdorDeviceSensorInfo::init(core->platform);
    if (!collector) return nullptr;
    auto* handle = new pemdor_collector;
    handle->core = std::move(core);
    handle->collector = std::move(collector);
    handle->gate = std::make_shared<CompletionGate>();
    return handle;
  } catch (...) {
    return nullptr;
  }
}

void pemdor_collector_free(pemdor_collector* collector) {
  if (collector == nullptr) return;
  collector->gate->close();
  try {
    // Ends whichever run is going: its completion is not wanted any more, and a run that
    // cannot end by itself (a stalled stream) would otherwise keep the collector alive.
    collector->collector->finishSensors();
  } catch (...) {
    // Releasing goes on: the run ends with the platform.
  }
  delete collector;
}

char* pemdor_collector_available_sensors(const pemdor_collector* collector) {
  if (collector == nullptr) return nullptr;
  try {
    return copyOut(collector->collector->availableSensors());
  } catch (...) {
    return nullptr;
  }
}

int pemdor_collector_is_location_service_available(const pemdor_collector* collector) {
  if (collector == nullptr) return 0;
  try {
    return collector->collector->isLocationServiceAvailable() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

char* pemdor_collector_get_current_time(const pemdor_collector* collector) {
  if (collector == nullptr) return nullptr;
  try {
    return copyOut(collector->collector->getCurrentTime());
  } catch (...) {
    return nullptr;
  }
}

void pemdor_collector_process_sensors(pemdor_collector* collector, pemdor_completion_fn completion,
                                      void* user_data) {
  if (collector == nullptr || completion == nullptr) return;
  try {
    collector->collector->processSensorsWithCallBack(
        [gate = collector->gate, completion, user_data](const std::string& latitude,
                                                        const std::string& longitude,
                                                        const std::optional<std::string>& json) {
          if (!gate->enter()) return;
          completion(user_data, latitude.c_str(), longitude.c_str(),
                     json ? json->c_str() : nullptr);
          gate->leave();
        });
  } catch (...) {
    // No run was started; the completion is never called.
  }
}

void pemdor_collector_start_sensors(pemdor_collector* collector, int32_t limit) {
  if (collector == nullptr) return;
  try {
    collector->collector->startSensors(limit);
  } catch (...) {
  }
}

char* pemdor_collector_get_sensor_data(pemdor_collector* collector) {
  if (collector == nullptr) return nullptr;
  try {
    return copyOut(sensorDataJson(collector->collector->getSensorData()));
  } catch (...) {
    return nullptr;
  }
}

void pemdor_collector_finish_sensors(pemdor_collector* collector) {
  if (collector == nullptr) return;
  try {
    collector->collector->finishSensors();
  } catch (...) {
  }
}

char* pemdor_json_string_with_dictionary(const char* json_object_text) {
  if (json_object_text == nullptr) return nullptr;
  try {
    const auto value = PemdorJsonWrapper::convertoDictionaryWithJsonString(json_object_text);
    if (!value) return nullptr;
    const auto text = PemdorJsonWrapper::convertToJsonStringWithDictionary(value);
    return text ? copyOut(*text) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

char* pemdor_json_parse_string(const char* text) {
  if (text == nullptr) return nullptr;
  try {
    const auto value = PemdorJsonWrapper::convertoDictionaryWithJsonString(text);
    return value ? copyOut(value->dump()) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
