// serial-send's command line and the line it sends: the input is the argument list, split at
// NUL bytes (argv[0] first), checked and turned into the frame for the device.
#include <cstdio>
#include <string>
#include <vector>

#include "serial_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  std::vector<std::string> words(1);
  for (size_t i = 0; i < size && words.size() < 16; ++i) {
    if (data[i] == 0)
      words.emplace_back();
    else
      words.back().push_back(static_cast<char>(data[i]));
  }
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  serialsend::Settings settings;
  if (serialsend::parseArguments(static_cast<int>(words.size()), argv.data(), &settings) >= 0) return 0;
  speed_t speed;
  serialsend::baudSpeed(settings.baud, &speed);
  char line[serialsend::kSendBufferSize];
  serialsend::buildLine(settings, line);
  return 0;
}
