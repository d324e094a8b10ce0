// SPDX-License-Identifier: MIT
// Prints the command line of pemdor-sensors as its parser declares it: a line "command NAME" for
// each command, then a line "option COMMAND OPTION value|flag" for each option of each command,
// the options read before any command under the command "*". The tests of the manual page and
// of the bash completion compare those with this table, so that a command or an option that
// they do not describe fails a test.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "Commands.h"

int main() {
  using namespace pemdor::host;
  // parseCommandLine looks for these before CLI11 sees the arguments.
  for (const CommandEntry& entry : hostCommands()) std::printf("command %s\n", entry.name);
  std::printf("command help\n");
  for (const char* option : {"--help", "-h", "--version"}) {
    std::printf("option * %s flag\n", option);
  }
  Options options;
  CLI::App app("pemdor-sensors");
  app.set_help_flag();
  for (const CommandEntry& entry : hostCommands()) {
    CLI::App* command = app.add_subcommand(entry.name);
    entry.declareOptions(*command, options);
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& name : option->get_lnames()) {
        std::printf("option %s --%s %s\n", entry.name, name.c_str(),
                    option->get_expected_max() == 0 ? "flag" : "value");
      }
      for (const std::string& name : option->get_snames()) {
        std::printf("option %s -%s %s\n", entry.name, name.c_str(),
                    option->get_expected_max() == 0 ? "flag" : "value");
      }
    }
  }
  return 0;
}
