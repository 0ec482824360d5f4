// Update hand-off to the platform updater: "/var/kv_cloudfwd.conf" (download URL and checksum
// URL, one a line, and "cert" as a third line for a certificate update) is written first, then
// the empty trigger "/var/kv_cloudfwd.run" is created; the updater starts once the trigger
// exists, so it never sees a half-written configuration.
#pragma once

namespace hbn {

enum HandoffKind { kFirmwareHandoff, kCertificateHandoff };

// 1 written; 0 when refused or failed, logged under `func`. URLs holding a line break are
// refused (they would forge further lines); nothing is written then. The configuration is
// written under a temporary name of this writer's own and renamed (a link at the fixed names is
// replaced, never followed); when the trigger cannot be created the configuration is removed
// again. The agents hand off one at a time ("/var/kv_cloudfwd.lock").
int writeUpdateHandoff(const char* func, const char* url, const char* checksumUrl, HandoffKind kind);

}  // namespace hbn
