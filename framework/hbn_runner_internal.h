// The framework's command runner, behind the Linux platform (hbn_platform): commands started with
// the caller's environment (the root's bin and sbin first on PATH), no descriptor but 0 to 2
// inherited, and, unless they outlive the caller, guarded so they end with it. Internal to the
// framework.
#pragma once

namespace hbn {
namespace runner {

// `commandLine` through /bin/sh -c, or `argv` found on PATH; the wait status, -1, or -2 after
// `timeoutMs` (> 0).
int run(const char* commandLine, const char* const argv[], long timeoutMs, bool outlive);

}  // namespace runner
}  // namespace hbn
