// Between the POSIX backend's child processes and its signal handling.
#pragma once

namespace platform {

// Sends sig to every child started by ChildStart and not yet released, from
// a signal handler: async-signal-safe (loads and one system call each).
// Where the kernel has no pidfds, children cannot be reached safely from a
// handler, and nothing is sent.
void SignalChildrenNow(int sig);

}  // namespace platform
