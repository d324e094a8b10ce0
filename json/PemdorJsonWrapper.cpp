// Placeholder until the wrapper lands.
#include "pemdor/PemdorJsonWrapper.h"

namespace pemdor {
std::optional<std::vector<std::uint8_t>> PemdorJsonWrapper::convertToJsonDataWithDictionary(
    const std::optional<nlohmann::json>&) {
  return std::nullopt;
}
std::optional<std::string> PemdorJsonWrapper::convertToJsonStringWithDictionary(
    const std::optional<nlohmann::json>&) {
  return std::nullopt;
}
std::optional<nlohmann::json> PemdorJsonWrapper::convertoDictionaryWithJsonData(
    const std::optional<std::vector<std::uint8_t>>&) {
  return std::nullopt;
}
std::optional<nlohmann::json> PemdorJsonWrapper::convertoDictionaryWithJsonString(
    const std::optional<std::string>&) {
  return std::nullopt;
}
}  // namespace pemdor
