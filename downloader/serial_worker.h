// The serial worker thread: owns the port's state changes (open, speed,
// close) and its receive side, driven by requests in its queue.
#pragma once

#include "downloader/serial_link.h"

namespace tonecast {

// Main thread. Starts the worker (slot must be 1) and waits up to 5 s for
// its ready message. 1 when it runs, 0 otherwise.
int StartWorker(int slot);
// Main thread. Asks the worker to end and waits for it; always 1.
int StopWorker(int slot);

// Worker side (exposed for tests).
void SerialWorker(void* unused);
int InitWorker();
void TearDownWorker();

}  // namespace tonecast
