// SPDX-License-Identifier: MIT
#include "pemdor/internal/SleepWord.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "pemdor/internal/TickPath.h"

namespace pemdor::internal {

PEMDOR_TICK_PATH long SleepWord::futex(int op, std::uint32_t value, const void* at) {
  return syscall(SYS_futex, &word_, op, value, at, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void SleepWord::wake() {
  futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

PEMDOR_TICK_PATH void SleepWord::sleep(std::uint32_t ticket, TimePoint until) {
  if (until == TimePoint::max()) {
    futex(FUTEX_WAIT_PRIVATE, ticket, nullptr);
    return;
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
  const timespec at{static_cast<time_t>(ns.count() / 1'000'000'000),
                    static_cast<long>(ns.count() % 1'000'000'000)};
  // An absolute time on CLOCK_MONOTONIC: FUTEX_WAIT_BITSET without FUTEX_CLOCK_REALTIME.
  futex(FUTEX_WAIT_BITSET_PRIVATE, ticket, &at);
}

}  // namespace pemdor::internal
