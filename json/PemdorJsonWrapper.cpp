// SPDX-License-Identifier: MIT
#include "pemdor/PemdorJsonWrapper.h"

#include <cmath>
#include <string_view>
#include <utility>

#include "pemdor/internal/JsonPreScan.h"

namespace pemdor {
namespace {

using Json = nlohmann::json;

// The structural half of the validity test: the top level is an object or an array, no value
// is binary or discarded, every floating-point number is finite, and containers nest at most
// kMaxDepth deep (serialising recurses once per level, so deeper values would risk the stack).
// The walk keeps its own stack for the same reason. String validity is the other half: the
// serialiser runs in strict mode and refuses a string or key that is not valid UTF-8.
bool isSerialisable(const Json& value) {
  if (!value.is_object() && !value.is_array()) return false;
  std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 1}};
  while (!pending.empty()) {
    const auto [container, depth] = pending.back();
    pending.pop_back();
    if (depth > PemdorJsonWrapper::kMaxDepth) return false;
    for (const Json& element : *container) {
      switch (element.type()) {
        case Json::value_t::object:
        case Json::value_t::array:
          pending.emplace_back(&element, depth + 1);
          break;
        case Json::value_t::number_float:
          if (!std::isfinite(element.get_ref<const Json::number_float_t&>())) return false;
          break;
        case Json::value_t::binary:
        case Json::value_t::discarded:
          return false;
        case Json::value_t::null:
        case Json::value_t::string:
        case Json::value_t::boolean:
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
          break;
      }
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> PemdorJsonWrapper::convertToJsonDataWithDictionary(
    const std::optional<nlohmann::json>& dictionary) {
  try {
    if (!dictionary || !isSerialisable(*dictionary)) return std::nullopt;
    // Compact output (no indentation), non-ASCII characters written as UTF-8 rather than
    // escaped, and a type_error instead of replacement for strings that are not UTF-8.
    const std::string text = dictionary->dump(-1, ' ', false, Json::error_handler_t::strict);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> PemdorJsonWrapper::convertToJsonStringWithDictionary(
    const std::optional<nlohmann::json>& dictionary) {
  try {
    const auto bytes = convertToJsonDataWithDictionary(dictionary);
    if (!bytes) return std::nullopt;
    // The serialiser wrote valid UTF-8 only, so the bytes are the text as they stand.
    return std::string(bytes->begin(), bytes->end());
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<nlohmann::json> PemdorJsonWrapper::convertoDictionaryWithJsonData(
    const std::optional<std::vector<std::uint8_t>>& data) {
  try {
    if (!data) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
    if (preScanJson(text, kMaxDepth)) return std::nullopt;
    // No callback, no exceptions, comments refused. The parser is strict RFC 8259 apart from
    // skipping one leading UTF-8 byte order mark, which RFC 8259 section 8.1 permits.
    Json value = Json::parse(data->begin(), data->end(), nullptr, false, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<nlohmann::json> PemdorJsonWrapper::convertoDictionaryWithJsonString(
    const std::optional<std::string>& text) {
  try {
    if (!text) return std::nullopt;
    const std::string_view beforeZero(text->c_str());
    return convertoDictionaryWithJsonData(
        std::vector<std::uint8_t>(beforeZero.begin(), beforeZero.end()));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace pemdor
