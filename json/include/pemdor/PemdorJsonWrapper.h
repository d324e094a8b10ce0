// SPDX-License-Identifier: MIT
#pragma once

/// @file
/// Conversion between dictionaries and JSON bytes or text. Stateless; every operation may be
/// called from any thread, concurrently with any other, and runs entirely on the caller's
/// thread; none throws, and each answers a failure with an absent result.
///
/// Writing gives compact UTF-8 JSON (no spaces, no line breaks, members in the value's own
/// order, which for nlohmann::json is ascending key order) and refuses what JSON cannot carry:
/// a top level that is neither an object nor an array, a non-finite number, a string or key
/// that is not valid UTF-8, binary or discarded values, and containers nested deeper than
/// kMaxDepth.
/// Reading accepts strict standard JSON (RFC 8259), any top-level value, nested at most
/// kMaxDepth deep. It refuses trailing content, trailing commas, comments, invalid UTF-8 and
/// lone surrogate escapes; one leading UTF-8 byte order mark is skipped, as RFC 8259 allows.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pemdor {

/// The conversions, as static functions (see the file's description for what each accepts).
struct PemdorJsonWrapper {
  /// The deepest nesting of arrays and objects that writing and reading accept (a top-level
  /// array is depth 1); deeper values and input are refused rather than risking the stack.
  static constexpr std::size_t kMaxDepth = 512;

  /// `dictionary` as compact UTF-8 JSON bytes; nullopt when it is absent or cannot be written.
  static std::optional<std::vector<std::uint8_t>> convertToJsonDataWithDictionary(
      const std::optional<nlohmann::json>& dictionary);
  /// `dictionary` as compact JSON text; nullopt when it is absent or cannot be written.
  static std::optional<std::string> convertToJsonStringWithDictionary(
      const std::optional<nlohmann::json>& dictionary);
  /// The value that the JSON bytes `data` hold; nullopt when they are absent or refused.
  static std::optional<nlohmann::json> convertoDictionaryWithJsonData(
      const std::optional<std::vector<std::uint8_t>>& data);
  /// The value that the JSON `text` holds; nullopt when it is absent or refused.
  /// Only the text before the first zero byte is parsed.
  static std::optional<nlohmann::json> convertoDictionaryWithJsonString(
      const std::optional<std::string>& text);
};

}  // namespace pemdor
