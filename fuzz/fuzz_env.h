// Shared set-up of the harnesses: a private root with the two gateway pipes, the framework,
// settings store, cloud queue and transport started once per process, and helpers that keep
// every queue and pipe drained so that no input can block the next one.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzzenv {

// Starts everything once (idempotent). Returns false when the set-up failed.
bool start();
// Writes raw bytes to the pipe the transport reads (at most one pipe's worth).
void writeToAgent(const uint8_t* data, size_t length);
// Discards what the transport wrote to the gateway, and everything queued for the cloud and
// the core.
void drain();

// Installs the harness's platform (fuzz_no_wait.cpp): NoWait below takes effect through it.
void installNoWaitPlatform();

// For the length of one input, the sleeps and timed waits of this thread do not wait
// (fuzz_no_wait.cpp).
struct NoWait {
  NoWait();
  ~NoWait();
  NoWait(const NoWait&) = delete;
  NoWait& operator=(const NoWait&) = delete;
};

}  // namespace fuzzenv
