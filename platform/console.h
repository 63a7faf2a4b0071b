// The process's edge to its console: standard streams, outputs that break,
// and interrupts from the user or the session.
#pragma once

#include "platform/serial.h"

namespace platform {

// Opens the null device on any of standard input, output and error that is
// closed, so that no port or file opened later can take its place (console
// text would reach the port, or the port's input would be read as the
// user's). Call first in main, before anything else is opened.
void ConsoleGuardStandardStreams();

// From now on a write to a closed pipe, or one past the file-size limit,
// fails with an error instead of ending the process.
void ConsoleSurviveBrokenOutputs();

// Whether standard error is a terminal (a console window) that can show a
// line that is redrawn in place.
bool ConsoleErrorIsTerminal();

// Interrupts: Ctrl+C, a request to terminate, the terminal or console
// window closing. Until InterruptWatch is called they have their default
// effect.
using InterruptRoutine = void (*)();

// From now on the first interrupt calls routine once, on a thread of the
// platform's own (never inside a signal handler: the routine may post
// messages and call SerialCancelWrites), and the process goes on. A second
// interrupt ends the process at once, as InterruptExit does, after releasing
// the exclusive hold of the port named by InterruptGuardPort. A hang-up that
// repeats (a closing terminal may report it more than once) is not a second
// interrupt. An interrupt that the process was started with set to be
// ignored (nohup's hang-up, Ctrl+C of a command started in the background
// by a script) stays ignored.
int InterruptWatch(InterruptRoutine routine);
// The port whose exclusive hold an immediate end releases; null for none.
// Any thread.
void InterruptGuardPort(SerialPort* port);
// Whether an interrupt has been received. Any thread.
bool InterruptReceived();
// Ends the process as the received interrupt would have ended it by default,
// so that a calling shell or script sees the interrupt. Returns at once, and
// does nothing, when no interrupt has been received.
void InterruptExit();

}  // namespace platform
