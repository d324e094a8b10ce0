#pragma once

// Conversion between dictionaries and JSON bytes or text. Stateless; every operation is
// thread-safe, never throws, and answers a failure with an absent result.
//
// Writing gives compact UTF-8 JSON (no spaces, no line breaks, members in the value's own
// order) and refuses what JSON cannot carry: a top level that is neither an object nor an
// array, a non-finite number, a string that is not valid UTF-8, binary or discarded values.
// Reading accepts strict standard JSON, any top-level value, nested at most kMaxDepth deep.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pemdor {

struct PemdorJsonWrapper {
  /// Deeper input is refused rather than risking the stack.
  static constexpr std::size_t kMaxDepth = 512;

  static std::optional<std::vector<std::uint8_t>> convertToJsonDataWithDictionary(
      const std::optional<nlohmann::json>& dictionary);
  static std::optional<std::string> convertToJsonStringWithDictionary(
      const std::optional<nlohmann::json>& dictionary);
  static std::optional<nlohmann::json> convertoDictionaryWithJsonData(
      const std::optional<std::vector<std::uint8_t>>& data);
  /// Only the text before the first zero byte is parsed.
  static std::optional<nlohmann::json> convertoDictionaryWithJsonString(
      const std::optional<std::string>& text);
};

}  // namespace pemdor
