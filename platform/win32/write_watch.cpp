#include "platform/win32/write_watch.h"

#include <algorithm>

#include "platform/win32/comm_config.h"

namespace platform::win32 {

WriteWatch::WriteWatch(std::uint64_t asked, const LineSettings& line)
    : asked_(asked), line_(line) {}

std::uint64_t WriteWatch::LineBytes(std::uint64_t ms) const {
  const std::uint64_t bits = 1 + std::uint64_t(line_.data_bits) + (line_.parity != 'N' ? 1 : 0) +
                             std::uint64_t(line_.stop_bits);
  return ms * line_.baud / (bits * 1000);
}

std::uint64_t WriteWatch::StallNotBeforeMs() const {
  return LineTimeMs(asked_, line_) + kWriteStallMs;
}

void WriteWatch::Take(std::uint64_t count) { taken_ = std::max(taken_, std::min(count, asked_)); }

// The count while the request is pending: its first reading, whether it has
// moved since, and when it last fell below every earlier reading.
void WriteWatch::Count(const WriteObservation& o) {
  if (!o.have_count) return;
  if (!have_first_) {
    have_first_ = true;
    first_ = lowest_ = o.queued;
    lowest_ms_ = o.ms;
    return;
  }
  if (o.queued != first_) moved_ = true;
  if (o.queued < lowest_) {
    lowest_ = o.queued;
    lowest_ms_ = o.ms;
  }
}

WriteDecision WriteWatch::Observe(const WriteObservation& o) {
  if (state_ == WriteState::kStalled || state_ == WriteState::kDone) return {state_, taken_, 0};
  const std::uint64_t line = LineBytes(o.ms);
  const auto left = [&] { return std::min<std::uint64_t>(o.queued, asked_); };

  if (state_ == WriteState::kPending && !o.completed) {
    Count(o);
    // The line's clock, less what a count that moves says is still queued.
    // A count that has never moved (the whole request, or 0, throughout)
    // says nothing; one that could not be read now keeps what was shown.
    std::uint64_t estimate = line;
    if (moved_) estimate = o.have_count ? std::min(line, asked_ - left()) : taken_;
    // Never the whole write while the driver still holds the request.
    if (asked_ > 0) estimate = std::min(estimate, asked_ - 1);
    Take(estimate);
    if (o.ms >= StallNotBeforeMs() && o.ms - lowest_ms_ >= kWriteStallMs)
      state_ = WriteState::kStalled;
    return {state_, taken_, kWritePollMs};
  }

  if (state_ == WriteState::kPending) {
    // Completed: the driver holds at most what its count says now, which
    // the drain allows its time on the line.
    state_ = WriteState::kDraining;
    drain_until_ms_ = o.ms + (o.have_count ? LineTimeMs(left(), line_) : 0) + kDrainMarginMs;
  }
  // Done once the driver holds nothing (its count reads 0, or cannot be
  // read) and the line has had the time to carry the whole write; or, since
  // every byte was taken, once a count that lags has had its bound.
  const bool empty = !o.have_count || o.queued == 0;
  if ((empty && line >= asked_) || o.ms >= drain_until_ms_) {
    state_ = WriteState::kDone;
    Take(asked_);
    return {state_, taken_, 0};
  }
  const std::uint64_t queued = empty ? 0 : left();
  Take(std::min(line, asked_ - queued));
  const std::uint64_t behind = std::max(queued, asked_ - std::min(line, asked_));
  const std::uint64_t wait = std::clamp<std::uint64_t>(
      LineTimeMs(behind, line_), 1, std::min<std::uint64_t>(kWritePollMs, drain_until_ms_ - o.ms));
  return {state_, taken_, std::uint32_t(wait)};
}

std::uint64_t WriteWatch::SentWhenCut(const WriteObservation& at, bool request_done,
                                      std::uint64_t request_bytes) const {
  std::uint64_t sent = std::min(asked_, LineBytes(at.ms));
  // Once the request has completed the count is only what the driver still
  // buffers, which every driver reports; before, only a count that moved.
  const bool believed = moved_ || at.completed || state_ == WriteState::kDraining;
  if (at.have_count && believed)
    sent = std::min(sent, asked_ - std::min<std::uint64_t>(at.queued, asked_));
  if (request_done) sent = std::min(sent, request_bytes);
  return sent;
}

}  // namespace platform::win32
