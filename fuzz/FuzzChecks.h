// SPDX-License-Identifier: MIT
#pragma once

// Checks shared by the fuzz targets. A failed check prints what it found and aborts, which
// libFuzzer reports as a crash and saves the input for. Every walk keeps its own stack, so
// that a deeply nested value cannot overflow the fuzzer's.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "pemdor/PemdorJsonWrapper.h"

namespace pemdor::fuzz {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

/// The deepest nesting of arrays and objects in `value`: 0 for a scalar, 1 for a flat array.
inline std::size_t depthOf(const Json& value) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const Json& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

/// Whether `text` is UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates, nothing
/// past U+10FFFF, no truncated sequence.
inline bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t point = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1Fu;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0Fu;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07u;
      smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3Fu);
    }
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

/// Whether JSON text has no whitespace outside its strings.
inline bool isCompact(const Bytes& text) {
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint8_t byte = text[i];
    if (inString) {
      if (byte == '\\') {
        ++i;
      } else if (byte == '"') {
        inString = false;
      }
    } else if (byte == '"') {
      inString = true;
    } else if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r') {
      return false;
    }
  }
  return true;
}

/// Holds the wrapper's verdict on `bytes` against nlohmann's own strict reading: a zero byte is
/// never JSON text; otherwise what the wrapper accepts the reference accepts as the same value,
/// and what the wrapper refuses while the reference accepts must nest deeper than kMaxDepth.
inline void checkAgainstReference(const Bytes& bytes, const std::optional<Json>& parsed) {
  if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end()) {
    require(!parsed, "a text holding a zero byte was accepted");
    return;
  }
  if (parsed) {
    require(depthOf(*parsed) <= PemdorJsonWrapper::kMaxDepth,
            "an accepted value nests deeper than kMaxDepth");
    const Json reference = Json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
    require(!reference.is_discarded(), "the wrapper accepted what the reference parser refuses");
    require(reference == *parsed, "the wrapper and the reference parser read different values");
    return;
  }
  if (!Json::accept(bytes.begin(), bytes.end(), false)) return;
  const Json reference = Json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
  require(depthOf(reference) > PemdorJsonWrapper::kMaxDepth,
          "the wrapper refused standard JSON that nests no deeper than kMaxDepth");
}

/// Writes `value` (which holds a value) through both writing operations and checks that they
/// agree with each other and with `expected` (whether JSON can carry it); when written, the
/// output is compact and reads back as an equal value. Returns the bytes written. The value comes
/// in the optional that the operations take, so that no call copies it.
inline std::optional<Bytes> checkWriting(const std::optional<Json>& value, bool expected,
                                         const char* problem) {
  const auto written = PemdorJsonWrapper::convertToJsonDataWithDictionary(value);
  const auto text = PemdorJsonWrapper::convertToJsonStringWithDictionary(value);
  require(written.has_value() == expected, problem);
  require(text.has_value() == written.has_value(), "the two writing operations disagree");
  if (!written) return written;
  require(std::string(written->begin(), written->end()) == *text,
          "the text differs from the bytes");
  require(isCompact(*written), "written JSON holds whitespace outside strings");
  const auto reread = PemdorJsonWrapper::convertoDictionaryWithJsonData(written);
  require(reread.has_value(), "written JSON does not read back");
  require(*reread == *value, "the value changed on its way through writing and reading");
  return written;
}

/// Holds for a value that reading gave back (`value` holds one): it is written exactly when it
/// is an object or an array (see checkWriting), and writing the value read back gives the same
/// bytes again.
inline void checkRoundTrip(const std::optional<Json>& value) {
  const auto written =
      checkWriting(value, value->is_structured(),
                   "a value that reading gave back was not written, or a scalar top level was");
  if (!written) return;
  const auto reread = PemdorJsonWrapper::convertoDictionaryWithJsonData(written);
  require(PemdorJsonWrapper::convertToJsonDataWithDictionary(reread) == written,
          "writing the value read back gives other bytes");
}

}  // namespace pemdor::fuzz
