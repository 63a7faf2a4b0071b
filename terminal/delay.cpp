#include "terminal/delay.h"

#include "platform/clock.h"

namespace linepoke {

bool DelayElapsed(std::uint32_t start, std::uint32_t now, std::uint16_t ms) {
  const std::uint32_t elapsed = now - start;  // unsigned: wraps correctly
  return elapsed > ms;
}

void DelayMs(std::uint16_t ms) {
  const std::uint32_t start = platform::MilliClock();
  while (!DelayElapsed(start, platform::MilliClock(), ms)) {
  }
}

}  // namespace linepoke
