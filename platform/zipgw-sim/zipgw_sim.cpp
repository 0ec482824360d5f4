#include "zipgw_sim.h"

int zipSimRun(const ZipSimOptions&) { return 1; }
