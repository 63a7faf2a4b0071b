#include "downloader/run_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/file.h"

namespace tonecast {

namespace {

// Both threads write records; the lock keeps each record one write and
// keeps a record from racing the close.
std::mutex g_log_mu;
platform::File* g_log = nullptr;

// How a record kind is written: prefix, timestamp, then what follows it.
// The values go after the timestamp: none, one ("size:%lld") or two.
enum ValueShape { NO_VALUES, SIZE_VALUE, SPEED_VALUES, SEND_VALUES };

struct RecordFormat {
  LogRecordKind kind;
  const char* prefix;  // before the timestamp; LOG_CONNECT puts the port name first
  ValueShape values;
  const char* suffix;  // after the timestamp and values
  bool payload;        // followed by the payload and "\n\n"
};

constexpr RecordFormat kFormats[] = {
    {LOG_START, "Program start at ", NO_VALUES, " \n", false},
    {LOG_CONNECT, " connect at ", NO_VALUES, " \n", false},
    {LOG_SPEED, "BAUD ", SPEED_VALUES, " \n", false},
    {LOG_DISCONNECT, "disconnect at ", NO_VALUES, " \n", false},
    {LOG_STOP_RECEIVING, "stop receiving at ", NO_VALUES, " \n", false},
    {LOG_RECV, "RECV ", SIZE_VALUE, "\n     ", true},
    {LOG_BFUL, "BFUL ", NO_VALUES, " \n     ", true},
    {LOG_SEND, "SEND ", SEND_VALUES, "\n     ", true},
    {LOG_ERROR, "Error ", NO_VALUES, " : ", true},
    {LOG_END, "Program end at ", NO_VALUES, " \n", false},
};

const RecordFormat& FormatOf(LogRecordKind kind) {
  for (const RecordFormat& f : kFormats)
    if (f.kind == kind) return f;
  return kFormats[0];  // not reached: every kind has a row
}

// Formats the header of a record into buf (256 bytes). Returns its length.
int FormatHeader(char (&buf)[256], const RecordFormat& f, const LogValues& v,
                 const platform::LocalTime& t) {
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  char values[64] = "";
  const long long a = v.first, b = v.second;
  switch (f.values) {
    case NO_VALUES:
      break;
    case SIZE_VALUE:
      std::snprintf(values, sizeof values, " size:%lld", a);
      break;
    case SPEED_VALUES:
      std::snprintf(values, sizeof values, " : %lld -> %lld", a, b);
      break;
    case SEND_VALUES:
      std::snprintf(values, sizeof values, " size:%lld (%lld)", a, b);
      break;
  }
  const char* port = f.kind == LOG_CONNECT && v.text ? v.text : "";
  const int n = std::snprintf(buf, sizeof buf, "%s%s%s%s%s", port, f.prefix, stamp, values,
                              f.suffix);
  if (n < 0) return 0;
  return n < int(sizeof buf) ? n : int(sizeof buf) - 1;  // a long port name is cut, not overrun
}

// Writes one record while g_log_mu is held.
void WriteLocked(LogRecordKind kind, const LogValues& values, const void* payload,
                 std::size_t payload_length) {
  if (!g_log) return;
  platform::LocalTime now;
  platform::LocalTimeNow(&now);
  char header[256];
  const RecordFormat& format = FormatOf(kind);
  const int header_length = FormatHeader(header, format, values, now);
  const std::size_t head = std::size_t(header_length);
  const bool has_payload = format.payload;
  const std::size_t body = has_payload && payload ? payload_length : 0;
  const std::size_t total = head + body + (has_payload ? 2 : 0);
  // One write per record; records of both threads already pass this lock.
  // A failed write is not reported: the log never stops the transfer.
  char small[1024];
  char* record = total <= sizeof small ? small : new (std::nothrow) char[total];
  if (!record) {
    // No room to join the pieces: write them one after the other; the lock
    // still keeps them together.
    platform::FileAppend(g_log, header, head);
    if (has_payload) {
      if (body) platform::FileAppend(g_log, payload, body);
      platform::FileAppend(g_log, "\n\n", 2);
    }
    return;
  }
  std::memcpy(record, header, head);
  if (body) std::memcpy(record + head, payload, body);
  if (has_payload) std::memcpy(record + head + body, "\n\n", 2);
  platform::FileAppend(g_log, record, total);
  if (record != small) delete[] record;
}

}  // namespace

void OpenRunLog() {
  std::lock_guard<std::mutex> lock(g_log_mu);
  if (g_log) return;
  platform::File* file = nullptr;
  if (platform::FileOpenAppendExclusive(kRunLogName, &file) != 0) return;
  g_log = file;
  WriteLocked(LOG_START, {}, nullptr, 0);
}

void CloseRunLog() {
  std::lock_guard<std::mutex> lock(g_log_mu);
  if (!g_log) return;
  WriteLocked(LOG_END, {}, nullptr, 0);
  platform::FileClose(g_log);
  g_log = nullptr;
}

void WriteLogRecord(LogRecordKind kind, const LogValues& values, const void* payload,
                    std::size_t payload_length) {
  std::lock_guard<std::mutex> lock(g_log_mu);
  WriteLocked(kind, values, payload, payload_length);
}

bool RunLogIsOpen() {
  std::lock_guard<std::mutex> lock(g_log_mu);
  return g_log != nullptr;
}

}  // namespace tonecast
