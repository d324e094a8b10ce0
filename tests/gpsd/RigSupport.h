// SPDX-License-Identifier: MIT
#pragma once

// What both gpsd rigs (GpsFake and GpsfakeRun) need to start their processes and clean up after
// them: descriptors that close themselves, the run's own folder, tool checks and a spawn whose
// output goes to a file.

#include <sys/types.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace pemdor::gpsd_testing::rig {

/// A descriptor closed when it goes.
struct Fd {
  int fd = -1;
  explicit Fd(int value = -1) : fd(value) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset(int value = -1);
};

/// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);

/// The path of an NMEA log that the tests ship in tests/gpsd/logs.
std::string logPath(const std::string& name);

/// Whether every one of `tools` can be run; otherwise says which is missing and that `packages`
/// provide it.
bool installed(std::initializer_list<const char*> tools, const char* packages, std::string& why);

/// A new empty folder of the run's own in the temporary directory, named after `prefix`.
std::optional<std::string> makeRunFolder(const char* prefix, std::string& why);

/// Starts `arguments` (the program first) with `environment`, in a process group of its own so
/// that a terminal's interrupt reaches the test, which stops the process. Standard input is
/// `input`, or /dev/null when it is -1; standard output and error go to the file at
/// `outputPath`. Returns the process id, or -1 with a reason (also when `arguments` is empty).
pid_t spawnLogged(std::vector<std::string> arguments, std::vector<std::string> environment,
                  int input, const std::string& outputPath, std::string& why);

}  // namespace pemdor::gpsd_testing::rig
