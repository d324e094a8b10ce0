#include "pemdor/PemdorJsonWrapper.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

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

// Reports whether brackets in the text nest deeper than kMaxDepth, in one linear pass that
// skips string contents. On well-formed JSON it finds string boundaries exactly as the parser
// does, so it measures the true depth. On malformed JSON it agrees with the parser on
// everything before the parser's first error, so the parser never builds a value deeper than
// this pass allowed; whatever the pass answers after that point, the parse fails anyway.
bool nestsTooDeep(const std::uint8_t* bytes, std::size_t size) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = bytes[i];
    if (inString) {
      if (byte == '\\') {
        ++i;
      } else if (byte == '"') {
        inString = false;
      }
    } else if (byte == '"') {
      inString = true;
    } else if (byte == '[' || byte == '{') {
      if (++depth > PemdorJsonWrapper::kMaxDepth) return true;
    } else if ((byte == ']' || byte == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

// A zero byte can never be part of JSON text (inside a string it is an unescaped control
// character), but the parser reads one as the end of its input and would accept "{}" followed
// by a zero byte and anything at all, so such input is refused before parsing.
bool holdsZeroByte(const std::uint8_t* bytes, std::size_t size) {
  return size > 0 && std::memchr(bytes, 0, size) != nullptr;
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
    if (!data || holdsZeroByte(data->data(), data->size()) ||
        nestsTooDeep(data->data(), data->size())) {
      return std::nullopt;
    }
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
