// SPDX-License-Identifier: MIT
#pragma once

// Waiting, with a generous deadline, for a condition on state that other threads change: real
// devices and services (umockdev, gpsd, D-Bus) run in real time, so these tests cannot step a
// virtual clock. The deadline only bounds a failing test; it is never a timing check.

#include <chrono>
#include <thread>

namespace pemdor::test {

template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace pemdor::test
