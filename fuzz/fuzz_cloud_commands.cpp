// The router and OTA dispatch harnesses run the handlers' platform commands (control kinds,
// configtool) on a platform of their own instead of starting processes: every command of the
// framework's runners goes through the platform seam, so an input costs microseconds instead of
// a fork and exec, and no reboot ever runs. Commands answer as the root's no-op fakes would:
// exit status 0, nothing written. The rest is the machine's.
#include "fuzz_cloud_env.h"
#include "hbn_platform.h"

namespace fuzzcloud {
namespace {

class NoCommandPlatform : public hbn::LinuxPlatform {
 public:
  int command(const char*, const char* const[], long, hbn::CommandLife) override { return 0; }
};

NoCommandPlatform gPlatform;

}  // namespace

void installNoCommandPlatform() { hbn::setPlatform(&gPlatform); }

}  // namespace fuzzcloud
