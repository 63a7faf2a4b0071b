// The yardstick for the image phase: the same bytes pushed through a fresh
// pseudo-terminal by the simplest writer there is (one write loop on the
// slave side that waits for room when the line is full), timed by a reader
// on the master side from the read that brings the first byte to the read
// that brings the last, as the simulated unit times an image.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

// 0 and *first_to_last_s set, or an errno value (ETIMEDOUT when the bytes
// did not all arrive within 30 s, EIO when other bytes arrived).
int PlainPeerTransfer(const std::vector<std::uint8_t>& bytes, double* first_to_last_s);

}  // namespace bench
