// SPDX-License-Identifier: MIT
#pragma once

// The check made on JSON text before it is handed to the parser, shared by the JSON wrapper and
// the scenario reader. Internal to the library; not installed.
//
// Two things are refused before parsing:
//  - A zero byte. It can never be part of JSON text (inside a string it is an unescaped control
//    character), but the parser reads one as the end of its input and would accept "{}"
//    followed by a zero byte and anything at all.
//  - Brackets nested deeper than the caller's bound. The parser recurses once per level, so
//    the bound keeps it, and every later walk over the value, shallow whatever the input.
//
// The scan is one linear pass that never recurses and skips string contents. On well-formed
// JSON it finds string boundaries exactly as the parser does, so it measures the true depth. On
// malformed JSON it agrees with the parser on everything before the parser's first error, so
// the parser never builds a value deeper than this pass allowed; whatever the pass answers
// after that point, the parse fails anyway.

#include <cstddef>
#include <optional>
#include <string_view>

namespace pemdor {

/// What the pre-scan refuses, and where.
struct JsonPreScanProblem {
  enum class Kind { zeroByte, tooDeep };
  Kind kind;
  /// The offset of the first zero byte, or of the first bracket that opens a level deeper than
  /// the bound.
  std::size_t offset;
};

/// The first problem in `text`, a zero byte before any nesting problem; nullopt when the text
/// may be parsed. `maxDepth` is the deepest level allowed (1 allows "[]" but not "[[]]").
inline std::optional<JsonPreScanProblem> preScanJson(std::string_view text, std::size_t maxDepth) {
  if (const auto zero = text.find('\0'); zero != std::string_view::npos) {
    return JsonPreScanProblem{JsonPreScanProblem::Kind::zeroByte, zero};
  }
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character, a quote included, is text
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return JsonPreScanProblem{JsonPreScanProblem::Kind::tooDeep, i};
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return std::nullopt;
}

}  // namespace pemdor
