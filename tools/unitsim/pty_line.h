// The unit's end of the line: a pseudo-terminal master, plus a descriptor
// of its own on the slave side that keeps the line alive between the
// programs' sessions and through which the unit reads the line speed the
// program has set. Or, with --device, a tty device that exists already
// (the gadget side of a USB serial link, one end of a cable): the unit
// reads and writes it directly, and its termios are the unit's own, so the
// speed the program sets at the far end cannot be seen.
#pragma once

#include <cstdint>
#include <string>

struct PtyLine {
  int master = -1;  // the unit's end: the pseudo-terminal master, or the device
  int slave = -1;   // the unit's slave descriptor; -1 on a device
  std::string path;
  bool reports_speed = true;  // the program's line speed is visible here
};

// Opens a pseudo-terminal in raw mode. Returns 0, or the errno of the step
// that failed.
int OpenPtyLine(PtyLine* line);

// Opens the tty device `path` as the unit's end of the line, in raw mode
// and without waiting for carrier. Returns 0, or the errno of the step that
// failed (ENOTTY for a file that is not a terminal).
int OpenDeviceLine(PtyLine* line, const std::string& path);

// Closes both descriptors: a program holding the slave sees a hang-up.
void ClosePtyLine(PtyLine* line);

// The output speed the slave side is set to, in baud; 0 when unknown.
std::uint32_t LineBaud(const PtyLine& line);

// Clears an exclusive-use flag left behind by a program that ended without
// clearing it (no program holds the port's advisory lock any longer).
// Returns true when it cleared one.
bool ClearStaleExclusive(const PtyLine& line);

// Bytes written to the line that the program has not read yet (-1 when
// the line cannot say).
long PendingForProgram(const PtyLine& line);

// Writes all bytes to the master, waiting for room at most limit_ms in
// total. Returns the number of bytes written.
std::size_t WriteBounded(int fd, const std::string& bytes, int limit_ms);

// CLOCK_MONOTONIC in microseconds.
std::int64_t MonotonicMicros();
