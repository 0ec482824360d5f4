// zipgw-sim: a stand-in for the Z/IP gateway process on the agent's two named pipes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hbn_path.h"
#include "zipgw_sim_internal.h"

int main(int argc, char** argv) {
  ZipSimOptions options;
  options.ctlPath = HBN_path("/tmp/zipgw-sim.ctl");
  options.logPath = HBN_path("/tmp/zipgw-sim.log");
  for (int i = 1; i < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      printf(
          "usage: zipgw-sim [--ctl PATH] [--log PATH] [--gw ID] [--home HEX] [--nodes ID,...]\n"
          "Creates $HBN_ROOT/tmp/zipgww and zipgwr and answers like a Z/IP gateway;\n"
          "control lines on the --ctl FIFO (default $HBN_ROOT/tmp/zipgw-sim.ctl),\n"
          "events in the --log file (default $HBN_ROOT/tmp/zipgw-sim.log).\n");
      return 0;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) {
      fprintf(stderr, "ERR: %s needs a value\n", arg.c_str());
      return 1;
    }
    if (arg == "--ctl") {
      options.ctlPath = value;
    } else if (arg == "--log") {
      options.logPath = value;
    } else if (arg == "--gw") {
      options.gatewayId = atoi(value);
    } else if (arg == "--home") {
      options.homeId = static_cast<unsigned>(strtoul(value, nullptr, 16));
    } else if (arg == "--nodes") {
      options.nodes = value;
    } else {
      fprintf(stderr, "ERR: unknown option %s\n", arg.c_str());
      return 1;
    }
  }
  if (options.gatewayId < 1 || options.gatewayId > 232) {
    fprintf(stderr, "ERR: gateway ID out of range\n");
    return 1;
  }
  return zipSimRun(options);
}
