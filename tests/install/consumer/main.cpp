// SPDX-License-Identifier: MIT
// Converts a dictionary to JSON text and back through pemdor, and makes a platform with the
// default services. Prints pemdor's version, the JSON text and the platform's description;
// exits 1 when the text does not read back as the same dictionary.
#include <iostream>

#include <pemdor/PemdorJsonWrapper.h>
#include <pemdor/platform/Platform.h>
#include <pemdor/version.h>

int main() {
  const nlohmann::json dictionary = {{"accelerometer", {"[0.01, -0.02, 0.98]"}}};
  const auto text = pemdor::PemdorJsonWrapper::convertToJsonStringWithDictionary(dictionary);
  if (!text) {
    std::cerr << "pemdor_consumer: the dictionary gave no JSON text\n";
    return 1;
  }
  if (pemdor::PemdorJsonWrapper::convertoDictionaryWithJsonString(text) != dictionary) {
    std::cerr << "pemdor_consumer: the JSON text did not read back: " << *text << '\n';
    return 1;
  }
  const auto platform = pemdor::Platform::create({});
  std::cout << "pemdor " << pemdor::kVersionText << '\n'
            << *text << '\n'
            << platform->describe() << '\n';
  return 0;
}
