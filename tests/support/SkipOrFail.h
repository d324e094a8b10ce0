// SPDX-License-Identifier: MIT
// Skipping a test for want of a tool or a data file is fine on a developer's machine, but in
// continuous integration (CI=true) it would hide a test that never ran: there it fails instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace pemdor::test {

// True when the environment says the tests run in continuous integration (CI=true, as the
// common CI services and our own .ci/run set it).
inline bool runningInCi() {
  const char* value = std::getenv("CI");
  return value != nullptr && std::string_view(value) == "true";
}

}  // namespace pemdor::test

// Skips the current test with REASON, or fails it with REASON under CI=true. Like GTEST_SKIP it
// returns from the calling function, so it belongs in a test body or in SetUp.
#define PEMDOR_SKIP_OR_FAIL_IN_CI(reason)                                                 \
  do {                                                                                    \
    if (::pemdor::test::runningInCi()) {                                                  \
      GTEST_FAIL() << (reason) << " (CI=true: a missing tool or data file is a failure)"; \
    } else {                                                                              \
      GTEST_SKIP() << (reason);                                                           \
    }                                                                                     \
  } while (false)
