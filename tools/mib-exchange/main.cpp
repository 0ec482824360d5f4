// mib-exchange [password]: shows or replaces the administrator password.
#include <cstdio>

#include "mib_exchange.h"

int main(int argc, char** argv) { return mibExchange_run(argc, argv, stdout); }
