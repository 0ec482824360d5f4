// Times the configtool command as the agents run it: one whole process per operation.
// A scratch store root is filled with a value for every id the documents use. Each round
// starts /bin/true (the floor: what any process costs on this machine) and then runs every
// operation once, so a busy machine weighs on floor and operations alike; the medians and the
// fastest runs are printed with the ratio of the medians.
//
//   bench_configtool [rounds]     (configtool is looked up next to this program)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using bench::runProgram;

struct Timing {
  double median;
  double fastest;
};

Timing timingOf(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front()};
}

// One run of `args`; a failed run ends the benchmark.
double runChecked(const std::vector<std::string>& args) {
  double t = runProgram(args);
  if (t < 0) {
    fprintf(stderr, "ERROR:%s %s failed\n", args[0].c_str(), args.size() > 1 ? args[1].c_str() : "");
    exit(1);
  }
  return t;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Non-default values for every id the two dumps read, so every key carries real text.
const char kStore[] =
    "7255=1\n155=ntp.example.net\n7181=1\n7182=1\n7183=1\n7184=1\n7185=1\n7186=1\n7187=1\n7188=1\n"
    "7209=1\n101=10.1.2.3\n102=255.255.0.0\n103=10.1.0.1\n7176=1\n7177=8.8.8.8\n7178=8.8.4.4\n"
    "7179=1.1.1.1\n173=2\n170=192.168.10.1\n171=255.255.255.0\n174=192.168.10.20\n175=192.168.10.99\n"
    "172=192.168.10.254\n176=192.168.10.1\n7226=1\n7237=1\n7256=1\n7257=1\n7258=1\n7240=pre-shared-key\n"
    "7245=2\n7244=1\n7248=3\n7247=28800\n7259=192.168.10.0/24,10.0.0.0/8\n7241=left\n7239=203.0.113.9\n"
    "7243=172.16.0.0/12\n7242=right\n7249=1\n7250=30\n7234=1\n7235=45\n7227=198.51.100.7\n"
    "7231=172.16.1.1\n7232=192.168.10.1\n7230=peer\n7228=gw01\n7260=10.0.0.1\n7261=10.0.0.2\n"
    "7262=10.0.0.53\n7263=30\n7264=600\n7266=rev-1\n1411=svc\n1412=mqtt.example.com\n1413=8883\n"
    "1414=1\n1415=1\n1416=user\n1417=pass\n7101=1\n1418=1\n1419=60\n1430=1\n1434=5\n7114=1\n1420=1\n"
    "7267=1\n";

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 60;
  if (rounds < 1) rounds = 1;
  std::string self = argv[0];
  std::string dir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
  std::string tool = dir + "/configtool";
  if (access(tool.c_str(), X_OK) != 0) {
    fprintf(stderr, "ERROR:%s not found\n", tool.c_str());
    return 1;
  }

  char rootTemplate[] = "/tmp/bench-configtool-XXXXXX";
  if (mkdtemp(rootTemplate) == nullptr) return 1;
  std::string root = rootTemplate;
  setenv("HBN_ROOT", root.c_str(), 1);
  std::string mkdirs = "mkdir -p '" + root + "/var/apmib' '" + root + "/tmp'";
  if (system(mkdirs.c_str()) != 0) return 1;
  writeFile(root + "/var/apmib/store.txt", kStore);

  std::string cfg = root + "/tmp/cfg.json", svr = root + "/tmp/svr.json", err = root + "/tmp/err.json";
  // The documents to load: full dumps of the filled store (every key present).
  if (runProgram({tool, "dumpJsonCfg", cfg}) < 0 || runProgram({tool, "dumpJsonSvr", svr}) < 0) return 1;
  std::string cfgDoc = readFile(cfg), svrDoc = readFile(svr);
  std::string loadCfg = root + "/tmp/load-cfg.json", loadSvr = root + "/tmp/load-svr.json";
  writeFile(loadCfg, cfgDoc);
  writeFile(loadSvr, svrDoc);

  struct Op {
    const char* name;
    std::vector<std::string> args;
  };
  const Op ops[] = {
      {"loadJsonCfg", {tool, "loadJsonCfg", loadCfg, err}},
      {"loadJsonSvr", {tool, "loadJsonSvr", loadSvr, err}},
      {"dumpJsonCfg", {tool, "dumpJsonCfg", cfg}},
      {"dumpJsonSvr", {tool, "dumpJsonSvr", svr}},
  };
  const size_t opCount = sizeof ops / sizeof ops[0];
  std::vector<double> floorTimes;
  std::vector<std::vector<double>> opTimes(opCount);
  int status = 0;
  for (int round = 0; round < rounds; ++round) {
    floorTimes.push_back(runChecked({"/bin/true"}));
    for (size_t i = 0; i < opCount; ++i) {
      opTimes[i].push_back(runChecked(ops[i].args));
      if (access(err.c_str(), F_OK) == 0) {
        fprintf(stderr, "ERROR:%s left an error document: %s\n", ops[i].name, readFile(err).c_str());
        status = 1;
      }
    }
  }
  const Timing floor = timingOf(floorTimes);
  printf("floor /bin/true: median %.2f ms, fastest %.2f ms (%d rounds)\n", floor.median, floor.fastest,
         rounds);
  // The slowest load and the slowest dump against the floor.
  double worst[2] = {0, 0};
  std::string worstName[2];
  for (size_t i = 0; i < opCount; ++i) {
    const Timing t = timingOf(opTimes[i]);
    printf("%-12s median %6.2f ms  fastest %6.2f ms  ratio to floor %.1f\n", ops[i].name, t.median, t.fastest,
           t.median / floor.median);
    const int kind = strncmp(ops[i].name, "load", 4) == 0 ? 0 : 1;
    if (t.median / floor.median > worst[kind]) {
      worst[kind] = t.median / floor.median;
      worstName[kind] = ops[i].name;
    }
  }
  // The loads wrote the same values back: the dumps must be unchanged.
  if (readFile(cfg) != cfgDoc || readFile(svr) != svrDoc) {
    fprintf(stderr, "ERROR:documents changed after loading them back\n");
    status = 1;
  }
  const char* kinds[2] = {"loads (with the fsyncs of the commit)", "dumps"};
  for (int kind = 0; kind < 2; ++kind)
    bench::target(std::string("configtool ") + kinds[kind] + " <= 3x starting /bin/true",
                  bench::format("slowest %s %.2fx (median %.2f ms against %.2f ms)", worstName[kind].c_str(),
                                worst[kind], worst[kind] * floor.median, floor.median),
                  status == 0 && worst[kind] <= 3.0);
  std::string cleanup = "rm -rf '" + root + "'";
  if (system(cleanup.c_str()) != 0) status = 1;
  return status;
}
