// SPDX-License-Identifier: MIT
#pragma once

// libudev is only partly safe to use from several threads: each thread may have contexts of
// its own, but the library keeps one random value for the whole process, in a buffer of its own,
// and writes it again, with no lock, whenever one of its internal maps grows. Two threads looking
// devices up at once (a host asking what is available while a provider's thread binds its devices)
// would race there. Every use of libudev in pemdor therefore holds this lock, from the context's
// creation to its release. It guards nothing of pemdor's own, and no callback into host code
// runs while it is held; lookups are made at starts and in reports, never on a sampling tick.

#include <mutex>

namespace pemdor::internal {

[[nodiscard]] inline std::unique_lock<std::mutex> lockUdev() {
  static std::mutex udevMutex;
  return std::unique_lock(udevMutex);
}

}  // namespace pemdor::internal
