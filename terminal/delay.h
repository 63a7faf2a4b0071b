// Pauses measured on the wrapping millisecond clock.
#pragma once

#include <cstdint>

namespace linepoke {

// True once the clock, noted as `start`, shows more than `ms` milliseconds
// later at `now`. The difference is taken modulo 2^32, so a wrap of the
// clock between the two readings does not change the answer.
bool DelayElapsed(std::uint32_t start, std::uint32_t now, std::uint16_t ms);

// Busy-waits until the millisecond clock has advanced by more than `ms`.
// It deliberately neither sleeps nor yields: the command pacing and the
// receive poll depend on the pause ending as soon as the clock has moved.
void DelayMs(std::uint16_t ms);

}  // namespace linepoke
