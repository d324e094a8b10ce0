// SPDX-License-Identifier: MIT
// Prints the C++ collector's results for the Python tests to compare with:
//   pemdor_reference error PATH            the scenario message for PATH ("" when good);
//   pemdor_reference callback PATH         a callback run in virtual time, clock moved by 0.1 s;
//   pemdor_reference sync PATH LIMIT SECS  a sync run's data as a JSON object.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "reference.h"

int main(int argc, char** argv) {
  const std::string command = argc > 2 ? argv[1] : "";
  char* text = nullptr;
  if (command == "error" && argc == 3) {
    text = reference_scenario_error(argv[2]);
  } else if (command == "callback" && argc == 3) {
    text = reference_callback_run(argv[2], 0.1, 15.0);
  } else if (command == "sync" && argc == 5) {
    text = reference_sync_run(argv[2], static_cast<int32_t>(std::atoi(argv[3])),
                              std::strtod(argv[4], nullptr));
  } else {
    std::fputs("usage: pemdor_reference error|callback PATH | sync PATH LIMIT SECONDS\n", stderr);
    return 2;
  }
  std::fputs(text, stdout);
  std::free(text);
  return 0;
}
