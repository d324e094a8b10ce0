#include "ReadingFormat.h"

#include <charconv>
#include <cmath>

namespace pemdor::detail {
namespace {

// Enough for the longest "%f" of any double (DBL_MAX has 309 integer digits) at the precisions
// used here.
constexpr std::size_t kBufferSize = 400;

}  // namespace

void appendFixed(std::string& out, double value, int precision) {
  // printf spells non-finite values "nan", "-nan", "inf" and "-inf"; to_chars agrees for
  // infinities, and the sign of a NaN is written the same way here.
  if (std::isnan(value)) {
    out.append(std::signbit(value) ? "-nan" : "nan");
    return;
  }
  char buffer[kBufferSize];
  const auto result =
      std::to_chars(buffer, buffer + kBufferSize, value, std::chars_format::fixed, precision);
  out.append(buffer, result.ptr);
}

std::string formatFixed(double value, int precision) {
  std::string out;
  appendFixed(out, value, precision);
  return out;
}

std::string formatCallbackReading(const CMVector& v, int precision) {
  std::string out;
  out.reserve(3 * (static_cast<std::size_t>(precision) + 6) + 6);
  out.push_back('[');
  appendFixed(out, v.x, precision);
  out.append(", ");
  appendFixed(out, v.y, precision);
  out.append(", ");
  appendFixed(out, v.z, precision);
  out.push_back(']');
  return out;
}

std::string formatSyncReading(const CMVector& v, const std::string& timestamp) {
  std::string out;
  out.reserve(3 * 12 + 3 + timestamp.size());
  appendFixed(out, v.x, 6);
  out.push_back(',');
  appendFixed(out, v.y, 6);
  out.push_back(',');
  appendFixed(out, v.z, 6);
  out.push_back(',');
  out.append(timestamp);
  return out;
}

}  // namespace pemdor::detail
