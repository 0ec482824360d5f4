// Configuration-store stand-in (placeholder: every call fails until the store lands).
#include "apmib.h"

extern "C" {
int apmib_init(void) { return 0; }
int apmib_get(int, void*) { return 0; }
int apmib_getDef(int, void*) { return 0; }
int apmib_set(int, void*) { return 0; }
int apmib_update(int) { return 0; }
}
