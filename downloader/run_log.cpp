#include "downloader/run_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/file.h"

namespace {

// Both threads write records; the lock keeps each record one write and
// keeps a record from racing the close.
std::mutex g_log_mu;
platform::File* g_log = nullptr;

bool HasPayload(LogRecordKind kind) {
  return kind == LOG_RECV || kind == LOG_BFUL || kind == LOG_SEND || kind == LOG_ERROR;
}

// Formats the header of a record into buf (256 bytes). Returns its length.
int FormatHeader(char (&buf)[256], LogRecordKind kind, const LogValues& v,
                 const platform::LocalTime& t) {
  const int Y = t.year, M = t.month, D = t.day, h = t.hour, m = t.minute, s = t.second;
  const long long a = v.first, b = v.second;
  int n = 0;
  switch (kind) {
    case LOG_START:
      n = std::snprintf(buf, sizeof buf, "Program start at %04d/%02d/%02d %02d:%02d:%02d \n", Y,
                        M, D, h, m, s);
      break;
    case LOG_CONNECT:
      n = std::snprintf(buf, sizeof buf, "%s connect at %04d/%02d/%02d %02d:%02d:%02d \n",
                        v.text ? v.text : "", Y, M, D, h, m, s);
      break;
    case LOG_SPEED:
      n = std::snprintf(buf, sizeof buf, "BAUD %04d/%02d/%02d %02d:%02d:%02d : %lld -> %lld \n",
                        Y, M, D, h, m, s, a, b);
      break;
    case LOG_DISCONNECT:
      n = std::snprintf(buf, sizeof buf, "disconnect at %04d/%02d/%02d %02d:%02d:%02d \n", Y, M,
                        D, h, m, s);
      break;
    case LOG_STOP_RECEIVING:
      n = std::snprintf(buf, sizeof buf, "stop receiving at %04d/%02d/%02d %02d:%02d:%02d \n", Y,
                        M, D, h, m, s);
      break;
    case LOG_RECV:
      n = std::snprintf(buf, sizeof buf, "RECV %04d/%02d/%02d %02d:%02d:%02d size:%lld\n     ",
                        Y, M, D, h, m, s, a);
      break;
    case LOG_BFUL:
      n = std::snprintf(buf, sizeof buf, "BFUL %04d/%02d/%02d %02d:%02d:%02d \n     ", Y, M, D,
                        h, m, s);
      break;
    case LOG_SEND:
      n = std::snprintf(buf, sizeof buf,
                        "SEND %04d/%02d/%02d %02d:%02d:%02d size:%lld (%lld)\n     ", Y, M, D, h,
                        m, s, a, b);
      break;
    case LOG_ERROR:
      n = std::snprintf(buf, sizeof buf, "Error %04d/%02d/%02d %02d:%02d:%02d : ", Y, M, D, h, m,
                        s);
      break;
    case LOG_END:
      n = std::snprintf(buf, sizeof buf, "Program end at %04d/%02d/%02d %02d:%02d:%02d \n", Y, M,
                        D, h, m, s);
      break;
  }
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
  const int header_length = FormatHeader(header, kind, values, now);
  const std::size_t head = std::size_t(header_length);
  const bool has_payload = HasPayload(kind);
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
