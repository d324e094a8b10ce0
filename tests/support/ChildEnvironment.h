// SPDX-License-Identifier: MIT
#pragma once

// What a test needs to hand a child process its arguments and environment through
// posix_spawn: the caller's environment with some variables replaced, and the char* arrays.

#include <unistd.h>  // environ (g++ defines _GNU_SOURCE)

#include <map>
#include <string>
#include <vector>

namespace pemdor::test {

/// This process's environment, with the variables in `overrides` set to their values (replacing
/// those it had).
inline std::vector<std::string> childEnvironment(
    const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (overrides.count(text.substr(0, text.find('='))) == 0) entries.push_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

/// The strings as a null-terminated array for argv or envp; valid while `strings` is unchanged.
inline std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace pemdor::test
