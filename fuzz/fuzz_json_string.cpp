// SPDX-License-Identifier: MIT
// Reads the input as JSON text, zero bytes included. Only the text before the first zero byte
// counts: the result must be what reading those bytes alone gives.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pemdor::fuzz;
  using pemdor::PemdorJsonWrapper;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto parsed = PemdorJsonWrapper::convertoDictionaryWithJsonString(text);

  const std::string beforeZero = text.substr(0, text.find('\0'));
  const Bytes prefix(beforeZero.begin(), beforeZero.end());
  require(parsed == PemdorJsonWrapper::convertoDictionaryWithJsonData(prefix),
          "reading the text differs from reading its bytes before the first zero byte");
  checkAgainstReference(prefix, parsed);
  return 0;
}
