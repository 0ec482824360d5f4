// The expiry date of an agent's client certificate for its payloads ("tls_client_exp"), read
// with getTlsTerm of libtlsTerm. A certificate's date changes only with its file's content, so
// the last reading of each file is kept with that content (a certificate file is small) and
// the certificate is parsed again only when the bytes differ: a request reads the file but
// does not parse it every time. Any thread may call it; the wait is for at most one other
// caller's reading of one small file. Built as its own library (hbn_certexpiry) with libtlsTerm.
#pragma once
#include <cstddef>

namespace hbn {

// Writes "YYYY-MM-DD" (the end of the validity in UTC) of the certificate at `path` (a fixed
// absolute path, rooted here) into `out` (`size` bytes, at least 11 for the whole date), or
// the empty text when the file is missing or holds no readable certificate.
void certificateExpiry(const char* path, char* out, size_t size);

}  // namespace hbn
