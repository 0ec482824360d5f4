#include "scripted_apmib.h"

#include <cstring>

#include "apmib.h"

namespace scripted_apmib {
Script script;
Calls calls;
}  // namespace scripted_apmib

using scripted_apmib::calls;
using scripted_apmib::script;

extern "C" {

int apmib_init(void) {
  ++calls.init;
  return 1;
}

int apmib_get(int, void* value) {
  ++calls.get;
  memcpy(value, script.value.c_str(), script.value.size() + 1);
  return 1;
}

int apmib_getDef(int, void*) { return 0; }

int apmib_set(int, void* value) {
  ++calls.set;
  if (script.refuseSet) return 0;
  script.value = static_cast<const char*>(value);
  if (script.value.size() > script.keepChars) script.value.resize(script.keepChars);
  return 1;
}

int apmib_update(int type) {
  calls.updates.push_back(type);
  return script.failUpdate ? 0 : 1;
}

}  // extern "C"
