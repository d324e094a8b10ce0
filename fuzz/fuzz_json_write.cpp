// SPDX-License-Identifier: MIT
// Builds a JSON value from the input and writes it with both serialising operations. The value
// may hold anything nlohmann::json can: strings and keys of arbitrary bytes (invalid UTF-8
// included), NaN and infinite numbers, binary and discarded values, nesting past kMaxDepth, and
// a scalar at the top. Writing must give absent exactly when the value holds something JSON
// cannot carry, and otherwise compact JSON that reads back as an equal value.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzChecks.h"

namespace {

using namespace pemdor::fuzz;
using pemdor::PemdorJsonWrapper;

// A bound on the decoder's nesting a little past kMaxDepth: every value deeper than kMaxDepth is
// refused alike, so the levels just past the limit are all that a deeper value adds, and each
// level built costs an allocation in every copy, walk and teardown of the value. (A bound of
// twice kMaxDepth made this target several times slower than the others for no new case.)
// Comparing values recurses, and only values within kMaxDepth are ever compared.
constexpr std::size_t kMaxBuildDepth = PemdorJsonWrapper::kMaxDepth + 4;
constexpr std::size_t kMaxSteps = 4096;

// Turns fuzz bytes into a value, one step per byte group: open or close a container, open many
// arrays at once, or add a scalar. Containers are filled through a stack of pointers to the open
// ones; only the innermost one ever grows, so the pointers below it stay valid.
class Decoder {
 public:
  Decoder(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

  Json value() {
    Json root =
        in_.ConsumeBool() ? Json(in_.ConsumeBool() ? Json::array() : Json::object()) : scalar();
    if (!root.is_structured()) return root;
    std::vector<Json*> open{&root};
    for (std::size_t step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; ++step) {
      switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
          if (open.size() > 1) open.pop_back();
          break;
        case 1:
          if (open.size() < kMaxBuildDepth) open.push_back(add(open.back(), Json::array()));
          break;
        case 2:
          if (open.size() < kMaxBuildDepth) open.push_back(add(open.back(), Json::object()));
          break;
        case 3: {
          const std::size_t levels = in_.ConsumeIntegralInRange<std::size_t>(1, kMaxBuildDepth);
          while (open.size() < kMaxBuildDepth && open.size() < levels) {
            open.push_back(add(open.back(), Json::array()));
          }
          break;
        }
        default:
          add(open.back(), scalar());
          break;
      }
    }
    return root;
  }

 private:
  Json* add(Json* container, Json element) {
    if (container->is_array()) {
      container->push_back(std::move(element));
      return &container->back();
    }
    Json& slot = (*container)[key()];
    slot = std::move(element);
    return &slot;
  }

  std::string key() { return in_.ConsumeBool() ? in_.ConsumeRandomLengthString(16) : validText(4); }

  Json scalar() {
    switch (in_.ConsumeIntegralInRange<int>(0, 11)) {
      case 0:
        return nullptr;
      case 1:
        return in_.ConsumeBool();
      case 2:
        return in_.ConsumeIntegral<std::int64_t>();
      case 3:
        return in_.ConsumeIntegral<std::uint64_t>();
      case 4: {
        // Any bit pattern: NaNs, infinities, subnormals and negative zero among them.
        const auto bits = in_.ConsumeIntegral<std::uint64_t>();
        double number = 0;
        std::memcpy(&number, &bits, sizeof number);
        return number;
      }
      case 5:
        return edgeNumber();
      case 6:
        return in_.ConsumeRandomLengthString(64);
      case 7:
      case 8:
        return validText(16);
      case 9:
        return invalidText();
      case 10:
        return Json::binary(
            in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 8)));
      default:
        return Json(Json::value_t::discarded);
    }
  }

  double edgeNumber() {
    using limits = std::numeric_limits<double>;
    const double table[] = {limits::quiet_NaN(),
                            -limits::quiet_NaN(),
                            limits::infinity(),
                            -limits::infinity(),
                            -0.0,
                            limits::denorm_min(),
                            limits::min(),
                            limits::max(),
                            limits::lowest(),
                            limits::epsilon(),
                            1e-320,
                            9007199254740993.0,
                            0.1,
                            1e308,
                            -1e-308};
    return table[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(table) - 1)];
  }

  // Valid UTF-8 from code points chosen to exercise escaping: control characters, quote,
  // backslash, DEL, two-, three- and four-byte forms and the edges around the surrogates.
  std::string validText(std::size_t maxPoints) {
    std::string out;
    const std::size_t points = in_.ConsumeIntegralInRange<std::size_t>(0, maxPoints);
    for (std::size_t i = 0; i < points; ++i) {
      std::uint32_t point = 0;
      switch (in_.ConsumeIntegralInRange<int>(0, 6)) {
        case 0:
          point = in_.ConsumeIntegralInRange<std::uint32_t>(0, 0x1F);
          break;
        case 1: {
          constexpr char kMarks[] = {'"', '\\', '/', 0x7F, 'a'};
          point = static_cast<std::uint32_t>(kMarks[in_.ConsumeIntegralInRange<std::size_t>(0, 4)]);
          break;
        }
        case 2:
          point = in_.ConsumeIntegralInRange<std::uint32_t>(0x80, 0x7FF);
          break;
        case 3:
          point = in_.ConsumeIntegralInRange<std::uint32_t>(0x800, 0xD7FF);
          break;
        case 4:
          point = in_.ConsumeIntegralInRange<std::uint32_t>(0xE000, 0xFFFF);
          break;
        default:
          point = in_.ConsumeIntegralInRange<std::uint32_t>(0x10000, 0x10FFFF);
          break;
      }
      appendUtf8(out, point);
    }
    return out;
  }

  // Text that is not UTF-8, in the forms a careless writer lets through.
  std::string invalidText() {
    const char* const table[] = {
        "\xC0\xAF",              // overlong '/'
        "\xE0\x80\xAF",          // overlong '/' in three bytes
        "\xED\xA0\x80",          // a lone high surrogate
        "\xED\xBF\xBF",          // a lone low surrogate
        "\xF4\x90\x80\x80",      // past U+10FFFF
        "\xF8\x88\x80\x80\x80",  // a five-byte form
        "\x80",                  // a continuation byte alone
        "\xE2\x82",              // a truncated sequence
        "\xFF",
    };
    std::string out = validText(2);
    out += table[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(table) - 1)];
    out += validText(2);
    return out;
  }

  static void appendUtf8(std::string& out, std::uint32_t point) {
    const auto byte = [&](std::uint32_t b) {
      out += static_cast<char>(static_cast<unsigned char>(b));
    };
    if (point < 0x80) {
      byte(point);
    } else if (point < 0x800) {
      byte(0xC0 | (point >> 6));
      byte(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      byte(0xE0 | (point >> 12));
      byte(0x80 | ((point >> 6) & 0x3F));
      byte(0x80 | (point & 0x3F));
    } else {
      byte(0xF0 | (point >> 18));
      byte(0x80 | ((point >> 12) & 0x3F));
      byte(0x80 | ((point >> 6) & 0x3F));
      byte(0x80 | (point & 0x3F));
    }
  }

  FuzzedDataProvider in_;
};

// Whether JSON can carry `value` as the wrapper promises to write it: an object or an array at
// the top, nesting within kMaxDepth, finite numbers, UTF-8 strings and keys, no binary or
// discarded values.
bool carriable(const Json& value) {
  if (!value.is_structured()) return false;
  std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > PemdorJsonWrapper::kMaxDepth) return false;
    if (node->is_object()) {
      for (const auto& [name, unused] : node->items()) {
        if (!isValidUtf8(name)) return false;
      }
    }
    for (const Json& child : *node) {
      if (child.is_structured()) {
        pending.emplace_back(&child, depth + 1);
      } else if (child.is_number_float()) {
        if (!std::isfinite(child.get<double>())) return false;
      } else if (child.is_string()) {
        if (!isValidUtf8(child.get_ref<const std::string&>())) return false;
      } else if (child.is_binary() || child.is_discarded()) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Built in place in the optional that the writing operations take, so that no call copies it.
  const std::optional<Json> value(std::in_place, Decoder(data, size).value());
  const bool expected = carriable(*value);
  checkWriting(value, expected,
               expected ? "a value JSON can carry was not written"
                        : "a value JSON cannot carry was written");
  return 0;
}
