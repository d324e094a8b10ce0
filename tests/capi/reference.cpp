// SPDX-License-Identifier: MIT
// The C++ collector's results for the plain-C tests to compare with: the same runs, driven the
// same way, on the C++ interface. Also checks that the C header compiles as C++.

#include "reference.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "pemdor/PemdorDeviceSensorInfo.h"
#include "pemdor/pemdor.h"
#include "pemdor/platform/SimulatedDevice.h"
#include "pemdor/platform/VirtualDispatcher.h"

namespace {

char* copyOut(const std::string& text) {
  auto* out = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

struct Rig {
  std::shared_ptr<pemdor::VirtualDispatcher> dispatcher = pemdor::VirtualDispatcher::create();
  std::shared_ptr<pemdor::SimulatedDevice> device;
  std::shared_ptr<pemdor::PemdorDeviceSensorInfo> collector;

  explicit Rig(const char* path) {
    auto loaded = pemdor::loadSimScenarioFile(path);
    device = pemdor::SimulatedDevice::create(std::move(*loaded.scenario), dispatcher);
    collector = pemdor::PemdorDeviceSensorInfo::init(device->platform());
  }
  ~Rig() {
    collector->finishSensors();
    dispatcher->runUntil([] { return false; }, 20.0);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;
};

}  // namespace

extern "C" char* reference_scenario_error(const char* path) {
  return copyOut(pemdor::loadSimScenarioFile(path).error);
}

extern "C" char* reference_callback_run(const char* path, double step, double max_seconds) {
  Rig rig(path);
  std::string result = "no completion";
  bool done = false;
  rig.collector->processSensorsWithCallBack([&](const std::string& latitude,
                                                const std::string& longitude,
                                                const std::optional<std::string>& json) {
    result = latitude + "\n" + longitude + "\n" + (json ? *json : "(null)");
    done = true;
  });
  for (double t = 0.0; !done && t < max_seconds; t += step) rig.dispatcher->advanceBy(step);
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "\n" + std::string.
  result += '\n';
  result += rig.collector->getCurrentTime();
  return copyOut(result);
}

extern "C" char* reference_sync_run(const char* path, int32_t limit, double seconds) {
  Rig rig(path);
  rig.collector->startSensors(limit);
  rig.dispatcher->advanceBy(seconds);
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, value] : rig.collector->getSensorData()) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      object[key] = *text;
    } else {
      object[key] = std::get<pemdor::PemdorRecordListRef>(value)->snapshot();
    }
  }
  return copyOut(object.dump());
}
