// SPDX-License-Identifier: MIT
#pragma once

// PEMDOR_TICK_PATH marks a function that runs on every tick of a sampling run: the timer
// thread's loop and sleep, the simulated device's tick, the collector's handlers. After 100 ms
// asleep the code of a tick is cold, and on a virtual machine every distinct page of code that a
// wake-up executes costs hundreds of cycles on top of its cache lines. GCC (and clang from 15)
// place hot functions together in .text.hot, so that a tick runs from a few pages instead of one
// or two per file it passes through.
#if defined(__GNUC__) || defined(__clang__)
#define PEMDOR_TICK_PATH [[gnu::hot]]
#else
#define PEMDOR_TICK_PATH
#endif

#include <time.h>

#include <chrono>
#include <cstdint>

namespace pemdor::internal {

// The clocks as a tick reads them: clock_gettime called from here. std::chrono's now() is a call
// into the C++ runtime, which calls clock_gettime through its own PLT: two more pages of code to
// bring back after every sleep. The same clocks: the steady clock is CLOCK_MONOTONIC (what the
// timer thread's futex waits on), the system clock CLOCK_REALTIME.
inline std::chrono::steady_clock::time_point steadyNow() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

// Seconds since 1970 on CLOCK_REALTIME, as std::chrono::system_clock gives them.
inline double wallSeconds() noexcept {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec) / 1e9;
}

}  // namespace pemdor::internal
