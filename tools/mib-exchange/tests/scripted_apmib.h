// A configuration store for tests that behaves as each case scripts it: it can cut text,
// refuse a set or fail the commit, and it counts every call.
#pragma once
#include <string>
#include <vector>

namespace scripted_apmib {

struct Script {
  size_t keepChars = 1000;  // text longer than this is cut
  bool refuseSet = false;
  bool failUpdate = false;
  std::string value;  // the current value of every id
};

struct Calls {
  int init = 0, get = 0, set = 0;
  std::vector<int> updates;
};

extern Script script;
extern Calls calls;

}  // namespace scripted_apmib
