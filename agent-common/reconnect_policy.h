// When a cloud session tries its next connect. A fleet of boxes that lost its broker at the same
// moment must not come back in lockstep, so:
//   - after the loss of a connection that had held for a while, the first attempt comes at a
//     random time within a spread;
//   - after each failed attempt the wait is random between 0 and a ceiling that doubles from a
//     base up to a cap ("full jitter");
//   - a connection that holds for the reset time starts the next outage from the beginning.
// The first connect of a session (at program start) is not delayed.
//
// The policy is pure: it is fed the monotonic time and draws from an injected random source;
// the session thread around it sleeps and connects. Not thread-safe: one owner (the session's
// thread) feeds it, the library's callbacks only record what happened for that thread.
#pragma once
#include <cstdint>

namespace hbn {

// Uniform 32-bit numbers.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual uint32_t next() = 0;
};

// A small generator seeded from the kernel's random source (getrandom), so boxes that boot in
// the same second still draw different delays. Not thread-safe.
class SeededRandom : public RandomSource {
 public:
  SeededRandom();
  uint32_t next() override;

 private:
  uint64_t state_;
};

struct ReconnectParams {
  int64_t firstSpreadMs;  // first attempt after a held connection was lost: uniform in [0, this]
  int64_t baseMs;         // ceiling of the wait after the first failed attempt
  int64_t capMs;          // the ceiling doubles per failed attempt up to this
  int64_t resetAfterMs;   // a connection held this long forgets the earlier failures
};

// The sessions of the three agents; the router's have a low cap, since its WAN judgement counts
// failed attempts and reconnects (fail-back and the single-WAN exit wait for them).
enum class SessionKind { kZwave, kRouter, kOta };
ReconnectParams reconnectParamsFor(SessionKind kind);

class ReconnectPolicy {
 public:
  // `random` is borrowed and must outlive the policy.
  ReconnectPolicy(const ReconnectParams& params, RandomSource* random);

  // The session connected at `nowMs`.
  void connected(int64_t nowMs);
  // The connection was lost at `nowMs`; the wait in milliseconds before the next attempt.
  int64_t lost(int64_t nowMs);
  // A connect attempt failed (refused, timed out, never issued) at `nowMs`; the wait in
  // milliseconds before the next attempt.
  int64_t failed(int64_t nowMs);

  // Failed attempts since the last connection that held (or since the start).
  int failures() const { return failures_; }
  // The ceiling of the wait after the next failed attempt, for log lines and tests.
  int64_t ceilingMs() const;
  const ReconnectParams& params() const { return params_; }

 private:
  // The ceiling of the wait after `failures` failed attempts in a row (1 = base).
  int64_t ceilingAfter(int failures) const;
  int64_t uniform(int64_t maxMs);

  ReconnectParams params_;
  RandomSource* random_;
  int failures_ = 0;
  int64_t connectedAt_ = -1;  // while connected, when it connected
};

}  // namespace hbn
