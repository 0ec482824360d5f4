// Router settings work that the router and OTA agents order from the cloud: configuration dumps
// and loads through the `configtool` command with work files under "/tmp", and the platform
// commands of the control requests.
//
// The work files have fixed names shared by every session of both agents, so each run (command
// and the reading and removing of its files) holds one lock file across threads and processes;
// a second run waits for the first. Every wait is bounded: these run on the MQTT library's
// callback thread, which must never wait without end. Paths are rooted with HBN_path().
#pragma once
#include <cstddef>

#include "hbn_platform.h"

namespace hbn {

enum ConfigDump { kDumpInfo, kDumpServer, kDumpUser };

// Runs "configtool dumpInfo|dumpJsonSvr|dumpJsonCfg <path>" (whatever was at the path removed
// first), reads the file into `out` (`capacity` bytes, NUL-terminated) and removes it. Returns
// the text's length when the document is whole: configtool succeeded, the JSON dumps parse and
// the report is not empty. Otherwise nothing is to be published: -1 (logged "configuration dump
// fail(<reason>):<topic>"); -2 when the text does not fit (logged "MQTT payload too
// long:%s\n" with `topic` under `func`, error); -3 when the lock could not be taken in time.
long runConfigDump(const char* func, ConfigDump which, const char* path, const char* topic, char* out,
                   size_t capacity);

// Result of one configuration load.
enum ConfigLoad {
  kLoadDone = 0,     // configtool accepted and stored the document
  kLoadRefused = 1,  // configtool found errors: `errorOut` holds its error document, whole
  kLoadFailed = -1,  // not stored, and no whole error document (logged under `func`)
};

// What the cloud is told of a load that failed without an error document of its own (configtool
// ended non-zero, timed out, was missing, or its document could not be read whole): configtool's
// own document for settings that could not be saved, with its line feed.
extern const char kLoadNotDoneDocument[];

// Writes `payload` (`length` bytes, as received) to "/tmp/tmpCfg.json" (a new file renamed over
// the fixed name, so a link there is replaced, not followed), runs "configtool
// loadJsonSvr" (with `server`) or "configtool loadJsonCfg" on it with "/tmp/tmpErr.json", and
// reads and removes the error document when one was written. A stale error document from an
// earlier run is removed first, so it cannot make a good load look refused. A load counts as
// done only when configtool succeeded and wrote no error document. An error document larger
// than `capacity` - 1 ("MQTT payload too long:%s\n" with `errorTopic`) or not whole JSON is
// logged and the load reported failed.
ConfigLoad runConfigLoad(const char* func, const void* payload, int length, bool server,
                         const char* errorTopic, char* errorOut, size_t capacity, long* errorLength);

// Runs a control request's platform command line through the shell, ended after a bound; most end
// with the agent, a reboot (CommandLife::kOutlivesCaller) goes on without it.
void runControlCommand(const char* func, const char* commandLine,
                       CommandLife life = CommandLife::kEndsWithCaller);

}  // namespace hbn
