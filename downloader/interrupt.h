// Interrupts during a run (Ctrl+C, a request to terminate, the terminal
// closing): the platform's watcher calls in here on a thread of its own.
// What reaches the transfer goes through the main thread's queue as
// UM_INTERRUPT; the one thing done on the spot is to cut short an image
// write that blocks the main thread, so that the unit gets no more of it.
#pragma once

#include "platform/serial.h"

namespace tonecast {

// Main thread, once the worker runs and before the transfer starts (until
// then an interrupt has its default effect). 0, or the platform's error.
int WatchInterrupts();

// Worker thread: the port that the run holds now (null before it is
// closed). Writes to a port guarded after an interrupt fail at once, and an
// immediate end (a second interrupt) releases this port's exclusive hold.
void GuardPort(platform::SerialPort* port);

}  // namespace tonecast
