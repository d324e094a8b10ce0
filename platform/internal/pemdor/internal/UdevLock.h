// SPDX-License-Identifier: MIT
#pragma once

// libudev is safe to use from several threads only in part: each thread may have contexts of
// its own, but the library keeps the seed of its hash tables in one buffer for the whole process
// and rewrites it, with no lock, whenever one of its tables grows. Two threads looking devices up
// at once (a host asking what is available while a provider's thread binds its devices) would
// race there. Every use of libudev in pemdor therefore holds this lock, from the context's
// creation to its release. It guards nothing of pemdor's own, and no callback into host code
// runs while it is held; lookups are made at starts and in reports, never on a sampling tick.

#include <mutex>

namespace pemdor::internal {

[[nodiscard]] inline std::unique_lock<std::mutex> lockUdev() {
  static std::mutex udevMutex;
  return std::unique_lock(udevMutex);
}

}  // namespace pemdor::internal
