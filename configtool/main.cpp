// configtool: runs one export of libconfigtool per call.
//   configtool dumpJsonCfg|dumpJsonSvr|dumpInfo <file>
//   configtool loadJsonCfg|loadJsonSvr <input file> <error file>
// Exit status 0 when the export returned 0, 1 otherwise (callers look at the files only).
#include <cstdio>
#include <cstring>

#include "configtool.h"

namespace {

struct Operation {
  const char* word;
  int files;
  int (*dump)(const char*);
  int (*load)(const char*, const char*);
};

const Operation kOperations[] = {
    {"dumpJsonCfg", 1, configtool_dumpJsonCfg, nullptr}, {"dumpJsonSvr", 1, configtool_dumpJsonSvr, nullptr},
    {"dumpInfo", 1, configtool_dumpInfo, nullptr},       {"loadJsonCfg", 2, nullptr, configtool_loadJsonCfg},
    {"loadJsonSvr", 2, nullptr, configtool_loadJsonSvr},
};

int usage() {
  printf("ERR:usage: configtool dumpJsonCfg|dumpJsonSvr|dumpInfo <file>\n");
  printf("ERR:       configtool loadJsonCfg|loadJsonSvr <input file> <error file>\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const Operation& op : kOperations) {
    if (strcmp(argv[1], op.word) != 0) continue;
    if (argc != 2 + op.files) return usage();
    int result = op.dump ? op.dump(argv[2]) : op.load(argv[2], argv[3]);
    return result == 0 ? 0 : 1;
  }
  return usage();
}
