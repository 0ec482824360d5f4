// mib-exchange: shows or replaces the administrator password of the configuration store.
// The logic is separate from main() and from the store library it links against, so tests
// can put a store with chosen faults under it.
#pragma once
#include <cstdio>

// Store id of the administrator password.
constexpr int kMibExchangeAdminPasswordId = 1409;
// Longest password accepted on the command line.
constexpr size_t kMibExchangeMaxLength = 30;

// The whole tool: argv as main() gets it, messages to `out`; returns the exit status.
int mibExchange_run(int argc, char** argv, FILE* out);
