// The router and OTA dispatch harnesses run the handlers' platform commands (control kinds,
// configtool) through these stand-ins instead of starting processes: the linker sends the three
// bounded runners here (--wrap), so an input costs microseconds instead of a fork and exec (and
// no reboot runs). They answer as the root's no-op fakes would: exit status 0, nothing written.

// HBN_cmd_systemTimeout(const char*, long), HBN_cmd_execTimeout(const char* const*, long) and
// HBN_cmd_systemOutliving(const char*, long).
extern "C" int __wrap__Z21HBN_cmd_systemTimeoutPKcl(const char* commandLine, long timeoutMs) {
  (void)commandLine;
  (void)timeoutMs;
  return 0;
}

extern "C" int __wrap__Z19HBN_cmd_execTimeoutPKPKcl(const char* const argv[], long timeoutMs) {
  (void)argv;
  (void)timeoutMs;
  return 0;
}

extern "C" int __wrap__Z23HBN_cmd_systemOutlivingPKcl(const char* commandLine, long timeoutMs) {
  (void)commandLine;
  (void)timeoutMs;
  return 0;
}
