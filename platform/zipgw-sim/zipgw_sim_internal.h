// The simulator's network model and pipe handling (see zipgw_sim_client.h for the protocol).
#pragma once
#include <string>

struct ZipSimOptions {
  std::string ctlPath;
  std::string logPath;
  int gatewayId = 1;
  unsigned homeId = 0xC0FFEE01u;
  std::string nodes;  // "2,3"
};

// Runs until "quit"; the exit status.
int zipSimRun(const ZipSimOptions& options);
