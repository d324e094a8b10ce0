// SPDX-License-Identifier: MIT
// Reads the input as JSON bytes. The verdict must match the reference reading, and a value that
// comes back must survive writing and reading again unchanged.

#include <cstddef>
#include <cstdint>

#include "FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pemdor::fuzz;
  const Bytes bytes(data, data + size);
  const auto parsed = pemdor::PemdorJsonWrapper::convertoDictionaryWithJsonData(bytes);
  checkAgainstReference(bytes, parsed);
  if (parsed) checkRoundTrip(parsed);
  return 0;
}
