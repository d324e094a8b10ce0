// SPDX-License-Identifier: MIT
#include "ReadingFormat.h"

#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace pemdor::detail {
namespace {

// Enough for the longest "%f" of any double (DBL_MAX has 309 integer digits) at the precisions
// used here.
constexpr std::size_t kBufferSize = 400;

__extension__ typedef unsigned __int128 Uint128;

constexpr std::array<std::uint64_t, 10> kPowersOfTen = {
    1ULL,      10ULL,      100ULL,      1000ULL,      10000ULL,
    100000ULL, 1000000ULL, 10000000ULL, 100000000ULL, 1000000000ULL};

// printf's "%.Nf" for the values readings have, without its generality: a finite double is
// m × 2^e exactly, so value × 10^N is the integer m × 10^N shifted by e, and printf's result is
// that quotient rounded half to even (the C library rounds the exact binary value in the
// default rounding mode). Values too large for 128 bits return false and take the general path.
bool appendFixedExact(std::string& out, double value, int precision) {
  if (precision < 0 || precision >= static_cast<int>(kPowersOfTen.size())) return false;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  const std::uint64_t fraction = bits & ((1ULL << 52) - 1);
  if (biased == 0x7ff) return false;
  const std::uint64_t mantissa = biased == 0 ? fraction : fraction | (1ULL << 52);
  const int exponent = biased == 0 ? -1074 : biased - 1075;

  // mantissa < 2^53 and 10^9 < 2^30, so the product stays below 2^83.
  const Uint128 scaled =
      static_cast<Uint128>(mantissa) * kPowersOfTen[static_cast<std::size_t>(precision)];
  Uint128 digits;
  if (exponent >= 0) {
    if (exponent > 40) return false;
    digits = scaled << exponent;
  } else if (-exponent >= 128) {
    digits = 0;  // below half a unit of the last place
  } else {
    const int shift = -exponent;
    digits = scaled >> shift;
    const Uint128 remainder = scaled & ((static_cast<Uint128>(1) << shift) - 1);
    const Uint128 half = static_cast<Uint128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (digits & 1) != 0)) ++digits;
  }

  // At most 39 digits, written from the right, with at least one digit before the point. The
  // digits are taken in 64-bit arithmetic, which the compiler turns into multiplications.
  char buffer[48];
  char* const end = buffer + sizeof buffer;
  char* p = end;
  int written = 0;
  auto put = [&](unsigned digit) {
    if (precision > 0 && written == precision) *--p = '.';
    *--p = static_cast<char>('0' + digit);
    ++written;
  };
  constexpr std::uint64_t kChunk = 10000000000000000000ULL;  // 10^19
  while (digits > UINT64_MAX) {
    auto low = static_cast<std::uint64_t>(digits % kChunk);
    digits /= kChunk;
    for (int i = 0; i < 19; ++i, low /= 10) put(static_cast<unsigned>(low % 10));
  }
  auto rest = static_cast<std::uint64_t>(digits);
  while (rest != 0 || written <= precision) {
    put(static_cast<unsigned>(rest % 10));
    rest /= 10;
  }
  if (negative) *--p = '-';
  out.append(p, end);
  return true;
}

}  // namespace

void appendFixed(std::string& out, double value, int precision) {
  if (appendFixedExact(out, value, precision)) return;
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

namespace {

// "%f,%f,%f," of x, y, z into a string with room for `more` characters after them.
std::string syncAxes(const CMVector& v, std::size_t more) {
  std::string out;
  out.reserve(3 * 12 + 3 + more);
  appendFixed(out, v.x, 6);
  out.push_back(',');
  appendFixed(out, v.y, 6);
  out.push_back(',');
  appendFixed(out, v.z, 6);
  out.push_back(',');
  return out;
}

}  // namespace

std::string formatSyncReading(const CMVector& v, const std::string& timestamp) {
  std::string out = syncAxes(v, timestamp.size());
  out.append(timestamp);
  return out;
}

std::string formatSyncReading(const CMVector& v, double secondsSince1970) {
  // Milliseconds since 1970 have 13 digits until the year 2286.
  std::string out = syncAxes(v, 14);
  appendFixed(out, secondsSince1970 * 1000.0, 0);
  return out;
}

}  // namespace pemdor::detail
