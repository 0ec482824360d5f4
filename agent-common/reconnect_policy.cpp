#include "reconnect_policy.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace hbn {

namespace {

// Beyond this many failures the ceiling is at its cap for any sane base and cap.
constexpr int kMaxCountedFailures = 40;

}  // namespace

SeededRandom::SeededRandom() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    // No entropy yet (early boot): the clock's nanoseconds and the process id still differ
    // between boxes far more than whole seconds do.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    seed = (static_cast<uint64_t>(ts.tv_sec) << 32) ^ static_cast<uint64_t>(ts.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 16);
  }
  state_ = seed != 0 ? seed : 0x9E3779B97F4A7C15ull;
}

uint32_t SeededRandom::next() {
  // xorshift64*: small, fast and good enough to spread delays.
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1Dull) >> 32);
}

ReconnectParams reconnectParamsFor(SessionKind kind) {
  switch (kind) {
    case SessionKind::kRouter:
      return ReconnectParams{5000, 1000, 8000, 60000};
    case SessionKind::kZwave:
    case SessionKind::kOta:
    default:
      return ReconnectParams{10000, 1000, 30000, 60000};
  }
}

ReconnectPolicy::ReconnectPolicy(const ReconnectParams& params, RandomSource* random)
    : params_(params), random_(random) {}

void ReconnectPolicy::connected(int64_t nowMs) { connectedAt_ = nowMs; }

int64_t ReconnectPolicy::lost(int64_t nowMs) {
  const bool held = connectedAt_ >= 0 && nowMs - connectedAt_ >= params_.resetAfterMs;
  connectedAt_ = -1;
  if (held) {
    failures_ = 0;
    return uniform(params_.firstSpreadMs);
  }
  // A connection that dropped soon after it was made counts as a failed attempt: a broker that
  // accepts and then drops the session must not be hammered at the first-retry pace.
  return failed(nowMs);
}

int64_t ReconnectPolicy::failed(int64_t nowMs) {
  (void)nowMs;
  connectedAt_ = -1;
  if (failures_ < kMaxCountedFailures) ++failures_;
  return uniform(ceilingAfter(failures_));
}

int64_t ReconnectPolicy::ceilingMs() const {
  return ceilingAfter(failures_ < kMaxCountedFailures ? failures_ + 1 : failures_);
}

int64_t ReconnectPolicy::ceilingAfter(int failures) const {
  int64_t ceiling = params_.baseMs > 0 ? params_.baseMs : 0;
  for (int i = 1; i < failures && ceiling < params_.capMs; ++i) ceiling *= 2;
  return ceiling < params_.capMs ? ceiling : params_.capMs;
}

int64_t ReconnectPolicy::uniform(int64_t maxMs) {
  if (maxMs <= 0) return 0;
  // Scales a 32-bit draw onto [0, maxMs] without the bias of a remainder.
  return static_cast<int64_t>((static_cast<uint64_t>(random_->next()) * static_cast<uint64_t>(maxMs + 1)) >>
                              32);
}

}  // namespace hbn
