// SPDX-License-Identifier: MIT
#include "RigSupport.h"

#include "ChildEnvironment.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pemdor::gpsd_testing::rig {

void Fd::reset(int value) {
  if (fd >= 0) ::close(fd);
  fd = value;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string logPath(const std::string& name) {
  return std::string(PEMDOR_SOURCE_DIR) + "/tests/gpsd/logs/" + name;
}

bool installed(std::initializer_list<const char*> tools, const char* packages, std::string& why) {
  for (const char* tool : tools) {
    if (::access(tool, X_OK) != 0) {
      why = std::string(tool) + " is not installed (packages " + packages + ")";
      return false;
    }
  }
  return true;
}

std::optional<std::string> makeRunFolder(const char* prefix, std::string& why) {
  std::string folder =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(folder.data()) == nullptr) {
    why = std::string("mkdtemp: ") + std::strerror(errno);
    return std::nullopt;
  }
  return folder;
}

pid_t spawnLogged(std::vector<std::string> arguments, std::vector<std::string> environment,
                  int input, const std::string& outputPath, std::string& why) {
  if (arguments.empty()) {
    why = "no program to start";
    return -1;
  }
  const std::vector<char*> argv = test::pointers(arguments);
  const std::vector<char*> envp = test::pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    why = std::string("posix_spawn: ") + std::strerror(spawned);
    return -1;
  }
  return pid;
}

}  // namespace pemdor::gpsd_testing::rig
