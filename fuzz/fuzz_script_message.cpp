// script-runner messages: the input is the received text (terminated at its length, as the
// daemon does), parsed into kind and number and turned into the script's name and path.
#include <string>

#include "script_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1024) return 0;  // the queue's message size
  std::string text(reinterpret_cast<const char*>(data), size);
  int kind = 0, number = 0;
  (void)scriptrunner::printable(text.c_str());
  if (!scriptrunner::parseRequest(text.c_str(), &kind, &number)) return 0;
  char name[32];
  std::string path;
  scriptrunner::scriptFor(kind, number, name, sizeof name, &path);
  return 0;
}
