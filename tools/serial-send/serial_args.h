// serial-send's command line: the options, their checks and the line sent to the device.
// Kept apart from the device handling so that the checks can be driven on their own.
#pragma once
#include <cstddef>

#include <termios.h>

namespace serialsend {

constexpr size_t kDeviceMax = 19;
constexpr size_t kCommandMax = 255;
constexpr size_t kSendBufferSize = 260;
constexpr int kFailure = 255;  // exit(-1) as the caller sees it

struct Settings {
  const char* device = nullptr;  // nullptr: the default device
  const char* baud = "B115200";
  int quiet = 3;
  const char* terminator = "rn";
  const char* command = nullptr;
};

// The default device, used when -d is not given.
extern const char kDefaultDevice[];

// Reads the options into `settings` (pointers into argv). -1 to go on, otherwise the exit
// status (help printed: 0; a wrong option, reported on standard output: kFailure).
int parseArguments(int argc, char** argv, Settings* settings);
// "4800".."115200" or "B4800".."B115200"; false for any other word.
bool baudSpeed(const char* word, speed_t* speed);
// Checks the command (present, at most kCommandMax characters; reported on standard output)
// and writes it with its terminator into `line` (kSendBufferSize bytes). The line's length,
// or -1 when refused.
int buildLine(const Settings& settings, char* line);

}  // namespace serialsend
