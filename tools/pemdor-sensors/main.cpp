// SPDX-License-Identifier: MIT
// pemdor-sensors: a sample host of the pemdor collector. See usageText() for the commands.

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "HostSession.h"
#include "pemdor/version.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void printError(const std::string& message) {
  std::fputs(("pemdor-sensors: " + message + "\n").c_str(), stderr);
}

int run(const std::vector<std::string>& args) {
  using namespace pemdor::host;
  if (args.empty()) {
    std::fputs(usageText().c_str(), stderr);
    return kExitUsage;
  }
  const Options options = parseCommandLine(args, hostCommands());
  int status = 0;
  if (options.command == Command::help) {
    std::fputs(usageText().c_str(), stdout);
  } else if (options.command == Command::version) {
    std::fputs(("pemdor-sensors " + std::string(pemdor::kVersionText) + "\n").c_str(), stdout);
  } else {
    const auto entry =
        std::find_if(hostCommands().begin(), hostCommands().end(),
                     [&](const CommandEntry& e) { return e.command == options.command; });
    status = entry->run(options, *HostSession::open(options));
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    printError("cannot write the output");
    return kExitFailure;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // The host takes the user's locale on purpose: what it prints must not depend on it.
  std::setlocale(LC_ALL, "");
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return run(args);
  } catch (const pemdor::host::UsageError& error) {
    printError(std::string(error.what()) + (error.hint() ? " (see 'pemdor-sensors --help')" : ""));
    return kExitUsage;
  } catch (const std::exception& error) {
    printError(error.what());
    return kExitFailure;
  }
}
