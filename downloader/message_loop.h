// The main thread's message loop during the transfer.
#pragma once

namespace tonecast {

// Takes messages from the main thread's queue and feeds them to the
// transfer state machine until the transfer has ended (or the queue fails,
// or a stop request arrives). Timer expiries become UM_TIMEOUT.
void RunMessageLoop();

}  // namespace tonecast
