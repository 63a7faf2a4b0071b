// The process's edge to its console: standard streams, outputs that break,
// and interrupts from the user or the session.
#pragma once

#include <cstddef>

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

// The two console outputs.
enum class ConsoleStream { kOutput = 1, kError = 2 };

// Whether the stream is a terminal (a console window) that takes the
// sequences that redraw a line in place: not a pipe or a file, and not a
// terminal that declares it has none (TERM=dumb, or no TERM at all).
bool ConsoleCanRedraw(ConsoleStream stream);
// Whether text on the stream may be coloured: a terminal that takes the
// redraw sequences (ConsoleCanRedraw, so never with TERM=dumb), and the
// user has not asked for no colour (NO_COLOR set to any text but "").
bool ConsoleCanColour(ConsoleStream stream);
// Whether standard output and standard error are one and the same terminal,
// so that text on one stands on the same screen line as text on the other.
bool ConsoleStreamsShareTerminal();
// The stream's terminal width in columns now (asked anew at every call, so
// a resize is seen at once); 0 when unknown or not a terminal.
int ConsoleColumns(ConsoleStream stream);
// The stream's terminal height in rows now; 0 when unknown or not a terminal.
int ConsoleRows(ConsoleStream stream);
// Writes the bytes as they are (no translation, no C-runtime buffer or
// lock), straight to the stream's descriptor or handle. May block while the
// console does (a stopped terminal, a selection in a console window): call
// it only from a thread that nothing else waits for. 0, or the error.
int ConsoleWrite(ConsoleStream stream, const void* data, std::size_t n);
// Reads one byte of standard input without the C runtime (whose stream lock
// a blocked reader would hold while the process ends). *byte is -1 at the
// end of input. Blocks until a byte, the end, or an error; the process may
// end while a thread waits here.
int ConsoleReadByte(int* byte);

// Throws away what was typed on the terminal or console of standard input
// and not yet read (input that came while the program was busy); a pipe or
// a file is left as it is.
void ConsoleDiscardInput();

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
// For a program that must leave its records on every end it can see:
// from now on an end at once (POSIX: SIGQUIT, or a second interrupt) is not
// taken in the signal handler but calls routine once, on the platform's
// thread, after the first interrupt's routine; InterruptExit then ends the
// process by that request. A further request after it ends at once, and so
// does the platform itself when the process has not ended within a few
// seconds of it. Call after InterruptWatch.
int InterruptHoldUrgent(InterruptRoutine routine);
// The kind of the end at once that InterruptHoldUrgent's routine was called
// for (as ChildEndNow takes it), 0 for none. Any thread.
int InterruptUrgentReceived();
// Whether the interrupt received leaves the process only a few seconds
// before the system ends it (Windows: the console window closing, a
// shutdown), so that children must be ended rather than waited for.
bool InterruptLeavesLittleTime();

// Whether an interrupt has been received. Any thread.
bool InterruptReceived();
// The kind of the first interrupt received, as ChildInterrupt
// (platform/process.h) passes it on: POSIX, its signal number; Windows, a
// value other than 0. 0 when none has been received. Any thread.
int InterruptKind();
// The kind to pass on as a second request, one that ends a program at once
// where the first did not: a repeated hang-up is not such a request (a
// closing terminal sends two), so after one it is a request to terminate.
int InterruptUrgentKind(int kind);
// Ends the process as the received interrupt would have ended it by default,
// so that a calling shell or script sees the interrupt. Returns at once, and
// does nothing, when no interrupt has been received.
void InterruptExit();

}  // namespace platform
