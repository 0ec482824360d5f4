#include "mib_exchange.h"

#include <cstring>

#include "apmib.h"

namespace {

// Larger than any text the store hands out; the store writes no more than the id's size.
constexpr size_t kValueBufferSize = 256;

int show(FILE* out) {
  char value[kValueBufferSize] = {};
  apmib_init();
  apmib_get(kMibExchangeAdminPasswordId, value);
  value[sizeof value - 1] = '\0';
  fprintf(out, "admin password:%s\n", value);
  return 0;
}

int refuse(FILE* out) {
  fputs("exchange faild\n", out);
  return 1;
}

int replace(const char* text, FILE* out) {
  size_t length = strnlen(text, kMibExchangeMaxLength + 1);
  if (length == 0 || length > kMibExchangeMaxLength) return refuse(out);

  char wanted[kMibExchangeMaxLength + 1] = {};
  memcpy(wanted, text, length);
  apmib_init();
  if (apmib_set(kMibExchangeAdminPasswordId, wanted) != 1) return refuse(out);
  // Read back: a store that cut or refused the value must not be committed.
  char stored[kValueBufferSize] = {};
  apmib_get(kMibExchangeAdminPasswordId, stored);
  stored[sizeof stored - 1] = '\0';
  if (strcmp(stored, wanted) != 0) return refuse(out);
  if (apmib_update(4) != 1) return refuse(out);
  fputs("exchange successful\n", out);
  return 0;
}

}  // namespace

int mibExchange_run(int argc, char** argv, FILE* out) {
  if (argc == 1) return show(out);
  if (argc == 2) return replace(argv[1], out);
  return 0;
}
