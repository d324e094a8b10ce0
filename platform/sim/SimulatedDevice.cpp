// Placeholder until the simulated device lands.
#include "pemdor/platform/SimulatedDevice.h"

#include <nlohmann/json.hpp>

namespace pemdor {
SimScenarioResult parseSimScenario(std::string_view, std::string_view) { return {}; }
SimScenarioResult simScenarioFromJson(const nlohmann::json&, std::string_view) { return {}; }
SimScenarioResult loadSimScenarioFile(const std::string&) { return {}; }
std::shared_ptr<SimulatedDevice> SimulatedDevice::create(SimScenario, std::shared_ptr<Dispatcher>) {
  return nullptr;
}
}  // namespace pemdor
