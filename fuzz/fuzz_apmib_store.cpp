// The apmib store file as any other writer may have left it: the input is the file; it is
// read (the store reloads whenever the root changes, so two roots take turns), every id is
// read back, and when the first byte is 1 one value is set and the store committed, which
// merges and rewrites the file.
#include <cstring>
#include <string>

#include "apmib.h"
#include "fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& base = fuzzroot::root();
  if (base.empty() || size < 1) return 0;
  static int turn = 0;
  turn ^= 1;
  const std::string root = base + (turn ? "/a" : "/b");
  setenv("HBN_ROOT", root.c_str(), 1);
  const std::string file = (turn ? "/a" : "/b") + std::string("/var/apmib/store.txt");
  if (!fuzzroot::writeFile(file, data + 1, size - 1)) return 0;
  apmib_init();
  unsigned char value[1024];
  for (const int id :
       {7255, 155, 283, 101, 102, 7209, 7240, 7247, 1409, 1410, 1411, 1412, 1413, 1419, 7263}) {
    memset(value, 0, sizeof value);
    apmib_get(id, value);
    apmib_getDef(id, value);
  }
  if (data[0] == 1) {
    char text[] = "fuzz";
    apmib_set(1412, text);
    apmib_update(4);
  }
  return 0;
}
