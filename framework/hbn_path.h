// The path root and the platform command runner: the one place where fixed platform paths
// and commands meet the machine. With HBN_ROOT unset every path and command line is used
// exactly as written; with it set, fixed absolute paths are prefixed by it and commands
// find $HBN_ROOT/bin and $HBN_ROOT/sbin first on their PATH.
#pragma once
#include <cstdio>
#include <string>

// "/var/x" -> "$HBN_ROOT/var/x" (or "/var/x" when HBN_ROOT is unset or empty).
// Relative paths and /proc/<pid>/... of the live process table are returned unchanged.
std::string HBN_path(const char* absolutePath);
// The root itself ("" when unset).
const char* HBN_path_root();
// The script runner's message queue: "/tx440_script" unless HBN_SCRIPT_QUEUE names another.
const char* HBN_path_scriptQueue();
// Test-only time scale: ms / HBN_TIME_SCALE (an integer >= 1, default 1), never below 1 for ms > 0.
long HBN_time_scaled(long milliseconds);
// The longest time in whole seconds that a setting converts to: its milliseconds still fit an
// int (about 24.8 days), the type that sleeps and timed waits take.
constexpr long HBN_TIME_MAX_SECONDS = 2147483;
// A setting in seconds as milliseconds on the test time scale. It is clamped to
// 0..HBN_TIME_MAX_SECONDS before it is multiplied, so no setting overflows a 32-bit long or an
// int; the result is at most HBN_TIME_MAX_SECONDS * 1000.
long HBN_time_scaledSecondsMs(long seconds);
// Monotonic milliseconds, run HBN_TIME_SCALE times faster: long timers compared against it
// (minutes of fail-back, a day of version reports) pass in seconds under a test scale.
long long HBN_time_scaledNowMs();

// Runs `commandLine` with /bin/sh -c (like system()); returns the wait status, -1 if it could not run.
int HBN_cmd_system(const char* commandLine);
// Runs argv[0] found on PATH with the arguments as given, no shell in between; wait status or -1.
int HBN_cmd_exec(const char* const argv[]);
// The same, ended (with every process it started) after `timeoutMs`: -2 then. For commands run
// where nothing may wait without bound.
int HBN_cmd_systemTimeout(const char* commandLine, long timeoutMs);
int HBN_cmd_execTimeout(const char* const argv[], long timeoutMs);
// Commands start with standard input, output and error only; no other descriptor is inherited.
// popen()/pclose() through the same environment; mode "r" or "w".
FILE* HBN_cmd_popen(const char* commandLine, const char* mode);
int HBN_cmd_pclose(FILE* stream);
