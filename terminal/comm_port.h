// The one serial port of the program: opened by the name in the settings
// file, driven at 19200 baud 8N1 without flow control, DTR on and RTS off.
//
// The port is program-wide state used by the main thread only.
#pragma once

#include <cstdint>
#include <string>

namespace linepoke {

// Opens and configures the port named by the settings file (creating that
// file with COM1 when it is missing). Does nothing when the port is already
// open. On failure prints its own diagnostic to standard output and returns
// a non-zero error code with the port closed again (a port that opened but
// could not be configured is let go without the close sequence).
int OpenCommPort();

// After OpenCommPort failed: one line for the user about the port or the
// settings file (what the name stood for, the likely fix), without the
// program's name or a line end; empty when there is nothing to add.
const std::string& OpenFailureAdvice();

// Drops RTS, then DTR, discards unread input and releases the port. Nothing
// when the port is closed.
void CloseCommPort();

// Writes one byte when the port is open (waiting until it is sent, result
// not looked at), then pauses more than 10 ms, also when the port is closed.
void SendByte(std::uint8_t byte);

// Reads up to `count` bytes that have already arrived, without waiting, and
// returns how many were read; 0 when the port is closed or nothing waits.
// A failed read also yields 0; its error code goes to `error` when given
// (0 otherwise), so that a port that has hung up can be told from a quiet
// one.
std::uint8_t ReceiveBytes(std::uint8_t* buffer, std::uint8_t count, int* error = nullptr);

}  // namespace linepoke
