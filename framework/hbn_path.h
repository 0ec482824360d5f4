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
// A platform command's time bound on the test time scale: `milliseconds` scaled, but not below
// HBN_CMD_MIN_BOUND_MS (nor above `milliseconds`). The scale speeds up the system's own timers,
// not the programs a command starts: those take their time to start and run in tests too.
constexpr long HBN_CMD_MIN_BOUND_MS = 5000;
long HBN_time_scaledBound(long milliseconds);
// Monotonic milliseconds, run HBN_TIME_SCALE times faster: long timers compared against it
// (minutes of fail-back, a day of version reports) pass in seconds under a test scale.
long long HBN_time_scaledNowMs();

// A command that the runners below wait for ends with the calling process, and so does
// everything it started: a small guard process (in the command's process group) kills that
// group when the caller ends, however it ends. HBN_cmd_systemOutliving is exempt, and so is
// HBN_cmd_popen's command. Commands start with standard input, output and error only; no other
// descriptor is inherited.
//
// Runs `commandLine` with /bin/sh -c (like system()); returns the wait status, -1 if it could not run.
int HBN_cmd_system(const char* commandLine);
// Runs argv[0] found on PATH with the arguments as given, no shell in between; wait status or -1.
int HBN_cmd_exec(const char* const argv[]);
// The same, ended (with every process it started) after `timeoutMs`: -2 then. For commands run
// where nothing may wait without bound.
int HBN_cmd_systemTimeout(const char* commandLine, long timeoutMs);
int HBN_cmd_execTimeout(const char* const argv[], long timeoutMs);
// HBN_cmd_systemTimeout (no bound when `timeoutMs` <= 0) for the few commands meant to outlive
// the caller ("reboot", the reset-and-reboot script): they go on when the caller ends first.
int HBN_cmd_systemOutliving(const char* commandLine, long timeoutMs);
// popen()/pclose() through the same environment; mode "r" or "w". The command stays in the
// caller's process group and is not guarded.
FILE* HBN_cmd_popen(const char* commandLine, const char* mode);
int HBN_cmd_pclose(FILE* stream);
