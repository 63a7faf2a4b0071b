// The run log "tonecast.log": an append-only record of the serial traffic.
// Opened and closed by the serial worker, written by both threads. Every
// record goes to the file in one write, so records of the two threads never
// interleave and a record written is in the file even if the process dies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonecast {

enum LogRecordKind {
  LOG_START,           // "Program start at <ts> \n"
  LOG_CONNECT,         // "<port name> connect at <ts> \n"           text
  LOG_SPEED,           // "BAUD <ts> : <first> -> <second> \n"        first, second
  LOG_DISCONNECT,      // "disconnect at <ts> \n"
  LOG_STOP_RECEIVING,  // "stop receiving at <ts> \n"
  LOG_RECV,            // "RECV <ts> size:<first>\n     " payload "\n\n"
  LOG_BFUL,            // "BFUL <ts> \n     " payload "\n\n"
  LOG_SEND,            // "SEND <ts> size:<first> (<second>)\n     " payload "\n\n"
  LOG_ERROR,           // "Error <ts> : " payload "\n\n"
  LOG_END,             // "Program end at <ts> \n"
};

// The values of a record other than its timestamp, in header order.
struct LogValues {
  const char* text = nullptr;  // LOG_CONNECT: the port name
  std::int64_t first = 0;
  std::int64_t second = 0;
};

inline constexpr const char* kRunLogName = "tonecast.log";

// Opens the log in the working directory (appending; created when missing)
// and writes the start record. When it cannot be opened, or another running
// instance holds it, logging stays off for the run, silently.
void OpenRunLog();
// Writes the end record and closes the log.
void CloseRunLog();
// Writes one record; does nothing while the log is not open. payload is
// written raw after the header, followed by "\n\n", for the kinds that have
// one (RECV, BFUL, SEND, Error).
void WriteLogRecord(LogRecordKind kind, const LogValues& values,
                    const void* payload, std::size_t payload_length);
bool RunLogIsOpen();

}  // namespace tonecast
