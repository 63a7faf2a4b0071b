// Serial ports on Windows.
//
// The port is opened overlapped so that one thread can wait for received
// bytes while another writes, and any thread can end the wait.
//
// Receive wait: a 1-byte overlapped ReadFile, not WaitCommEvent. Under Wine
// on a pseudo-terminal WaitCommEvent(EV_RXCHAR) completes at once with
// ERROR_OPERATION_ABORTED (the modem-status ioctl fails there); a read works
// there and on real drivers alike, so there is one code path, the one the
// tests run. The byte that the read takes is held in the port object, counted
// into the queued-input figure and handed out first by the next read.
// Clearing the event mask ends a pending wait with CancelIoEx.
//
// Writes: overlapped WriteFile in pieces no larger than the driver's output
// queue, so that progress can be reported and a stalled device noticed; then
// a drain that watches the output queue empty, bounded by the same stall
// limit.
#include "platform/serial.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>

#include "platform/win32/comm_config.h"
#include "platform/common/port_name.h"
#include "platform/win32/last_error.h"

namespace platform {

using win32::LastError;

struct SerialPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::mutex mu;  // the mask, the held byte and the pending wait read
  std::uint32_t mask = 0;
  bool have_byte = false;
  unsigned char held = 0;      // the byte the wait read took
  unsigned char wait_buf = 0;  // the pending wait read's buffer
  bool wait_pending = false;
  bool wait_cancelled = false;  // its end was asked for by SerialSetEventMask(0)
  OVERLAPPED wait_ov{};
  HANDLE wait_event = nullptr;
  HANDLE read_event = nullptr;

  std::mutex write_mu;  // one SerialWrite at a time
  std::mutex issue_mu;  // a write being issued against SerialCancelWrites
  bool cancelled = false;
  OVERLAPPED write_ov{};
  HANDLE write_event = nullptr;

  // The lines as last set: every DCB written carries them, so that new
  // line settings do not change them.
  bool dtr = true;
  bool rts = false;
};

namespace {

constexpr DWORD kQueueBytes = 1024;
constexpr DWORD kPieceBytes = kQueueBytes;
constexpr DWORD kPollMs = 1000;

int ApplyDcb(SerialPort* port, const LineSettings& s) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port->handle, &dcb)) return LastError();
  const win32::DcbSettings d = win32::BuildDcb(s, port->dtr, port->rts);
  dcb.BaudRate = d.baud_rate;
  dcb.ByteSize = d.byte_size;
  dcb.Parity = d.parity;
  dcb.StopBits = d.stop_bits;
  dcb.fBinary = d.binary;
  dcb.fParity = d.check_parity;
  dcb.fOutxCtsFlow = d.cts_out;
  dcb.fOutxDsrFlow = d.dsr_out;
  dcb.fDtrControl = d.dtr_control;
  dcb.fDsrSensitivity = d.dsr_sensitivity;
  dcb.fTXContinueOnXoff = d.tx_continue_on_xoff;
  dcb.fOutX = d.xon_xoff_out;
  dcb.fInX = d.xon_xoff_in;
  dcb.fErrorChar = d.error_char;
  dcb.fNull = d.discard_nul;
  dcb.fRtsControl = d.rts_control;
  dcb.fAbortOnError = d.abort_on_error;
  if (!SetCommState(port->handle, &dcb)) return LastError();
  // A driver may take the call and keep another speed or size: read back.
  DCB applied{};
  applied.DCBlength = sizeof applied;
  if (!GetCommState(port->handle, &applied)) return LastError();
  if (applied.BaudRate != dcb.BaudRate || applied.ByteSize != dcb.ByteSize)
    return ErrorCode(Failure::kInvalid);
  return 0;
}

// Received bytes the driver holds, clearing any pending line error.
int DriverQueues(HANDLE h, DWORD* in, DWORD* out) {
  DWORD errors = 0;
  COMSTAT st{};
  if (!ClearCommError(h, &errors, &st)) return LastError();
  if (in) *in = st.cbInQue;
  if (out) *out = st.cbOutQue;
  return 0;
}

void FreePort(SerialPort* p) {
  if (p->handle != INVALID_HANDLE_VALUE) CloseHandle(p->handle);
  for (HANDLE e : {p->wait_event, p->read_event, p->write_event})
    if (e) CloseHandle(e);
  delete p;
}

}  // namespace

int SerialOpen(const char* name, SerialPort** port) {
  if (!name || !port) return ErrorCode(Failure::kInvalid);
  if (IsUnmappedPortName(name)) return ERROR_FILE_NOT_FOUND;
  char path[MAX_PATH];
  if (!win32::DevicePath(name, path, sizeof path)) return ErrorCode(Failure::kInvalid);
  // Share mode 0: the port is ours alone until closed; a port that another
  // program holds fails here with ERROR_ACCESS_DENIED.
  const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  // A unit that wires RTS to its reset or boot pin sees every moment it
  // stands: drop it before anything else. Devices without modem lines
  // refuse this.
  EscapeCommFunction(h, CLRRTS);
  auto* p = new (std::nothrow) SerialPort;
  if (!p) {
    CloseHandle(h);
    return ErrorCode(Failure::kNoResources);
  }
  p->handle = h;
  p->wait_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->write_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!p->wait_event || !p->read_event || !p->write_event) {
    const int err = LastError();
    FreePort(p);
    return err;
  }
  int err = 0;
  SetupComm(h, kQueueBytes, kQueueBytes);  // a hint that drivers may ignore
  // DTR stays as the open left it, until SerialSetModemLines; RTS stays down.
  DCB opened{};
  opened.DCBlength = sizeof opened;
  if (GetCommState(h, &opened)) p->dtr = opened.fDtrControl != DTR_CONTROL_DISABLE;
  LineSettings current;
  err = SerialGetSettings(p, &current);
  if (err == 0) {
    // Raw from the open on, at the speed and framing the port had.
    current.rts_cts = false;
    current.xon_xoff = false;
    if (!win32::IsStandardBaud(current.baud)) current.baud = 19200;
    err = ApplyDcb(p, current);
  }
  const win32::CommTimeouts t = win32::BuildTimeouts();
  COMMTIMEOUTS ct{t.read_interval, t.read_total_multiplier, t.read_total_constant,
                  t.write_total_multiplier, t.write_total_constant};
  if (err == 0 && !SetCommTimeouts(h, &ct)) err = LastError();
  if (err != 0) {
    FreePort(p);
    return err;
  }
  *port = p;
  return 0;
}

void SerialClose(SerialPort* port) {
  if (!port) return;
  // No other thread is inside a call on the port now (the contract), so no
  // read or write of ours is pending on the handle.
  FreePort(port);
}

int SerialPurge(SerialPort* port, unsigned which) {
  if (!port) return ErrorCode(Failure::kNotOpen);
  DWORD flags = 0;
  // Input is cleared, not aborted: a receive wait in progress goes on.
  if (which & kPurgeRx) flags |= PURGE_RXCLEAR;
  if (which & kPurgeTx) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
  if (flags == 0) return 0;
  if (which & kPurgeRx) {
    std::lock_guard<std::mutex> lock(port->mu);
    port->have_byte = false;
  }
  return PurgeComm(port->handle, flags) ? 0 : LastError();
}

int SerialGetSettings(SerialPort* port, LineSettings* settings) {
  if (!port || !settings) return ErrorCode(Failure::kInvalid);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port->handle, &dcb)) return LastError();
  LineSettings s;
  s.baud = dcb.BaudRate;
  s.data_bits = dcb.ByteSize;
  s.parity = dcb.Parity == ODDPARITY ? 'O' : dcb.Parity == EVENPARITY ? 'E' : 'N';
  s.stop_bits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
  s.rts_cts = dcb.fOutxCtsFlow != 0;
  s.xon_xoff = dcb.fOutX != 0 || dcb.fInX != 0;
  *settings = s;
  return 0;
}

int SerialSetSettings(SerialPort* port, const LineSettings& s) {
  if (!port) return ErrorCode(Failure::kInvalid);
  if (!win32::IsStandardBaud(s.baud) || s.data_bits < 5 || s.data_bits > 8 ||
      (s.parity != 'N' && s.parity != 'E' && s.parity != 'O') ||
      (s.stop_bits != 1 && s.stop_bits != 2))
    return ErrorCode(Failure::kInvalid);
  return ApplyDcb(port, s);
}

int SerialSetModemLines(SerialPort* port, bool dtr, bool rts) {
  if (!port) return ErrorCode(Failure::kInvalid);
  port->dtr = dtr;
  port->rts = rts;
  for (const DWORD f : {DWORD(dtr ? SETDTR : CLRDTR), DWORD(rts ? SETRTS : CLRRTS)}) {
    if (!EscapeCommFunction(port->handle, f)) {
      // Devices without modem-control lines (a pseudo-terminal under Wine)
      // refuse the request.
      const DWORD err = GetLastError();
      if (err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ||
          err == ERROR_INVALID_PARAMETER || err == ERROR_CALL_NOT_IMPLEMENTED ||
          err == ERROR_NOT_READY)
        return 0;
      return err != 0 ? int(err) : ErrorCode(Failure::kIo);
    }
  }
  return 0;
}

int SerialSetEventMask(SerialPort* port, std::uint32_t mask) {
  if (!port) return ErrorCode(Failure::kNotOpen);
  std::lock_guard<std::mutex> lock(port->mu);
  port->mask = mask;
  if (mask == 0 && port->wait_pending && !port->wait_cancelled) {
    port->wait_cancelled = true;
    CancelIoEx(port->handle, &port->wait_ov);
  }
  return 0;
}

int SerialWaitEvent(SerialPort* port, std::uint32_t* events) {
  if (!port || !events) return ErrorCode(Failure::kInvalid);
  *events = 0;
  std::unique_lock<std::mutex> lock(port->mu);
  for (;;) {
    if (port->mask == 0) return 0;
    if (port->have_byte) {
      *events = kEventRxChar;
      return 0;
    }
    port->wait_ov = OVERLAPPED{};
    port->wait_ov.hEvent = port->wait_event;
    ResetEvent(port->wait_event);
    port->wait_cancelled = false;
    DWORD got = 0;
    const ULONGLONG started = GetTickCount64();
    BOOL ok = ReadFile(port->handle, &port->wait_buf, 1, &got, &port->wait_ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      port->wait_pending = true;
      lock.unlock();
      ok = GetOverlappedResult(port->handle, &port->wait_ov, &got, TRUE);
      const DWORD err = ok ? 0 : GetLastError();
      lock.lock();
      port->wait_pending = false;
      if (!ok) SetLastError(err);
    }
    if (ok && got == 1) {
      port->have_byte = true;
      port->held = port->wait_buf;
      // A byte that came with the cancel is kept for the next read; the
      // wait still ends as asked, with no event.
      if (port->wait_cancelled || port->mask == 0) return 0;
      *events = kEventRxChar;
      return 0;
    }
    if (port->wait_cancelled) return 0;
    if (!ok) {
      const DWORD err = GetLastError();
      // Not cancelled by us: the device went away (a pulled USB adapter
      // reports ERROR_OPERATION_ABORTED, ERROR_ACCESS_DENIED or
      // ERROR_BAD_COMMAND, a pseudo-terminal whose other side closed an
      // I/O error).
      return err != 0 ? int(err) : ErrorCode(Failure::kIo);
    }
    // The read's time-out passed with nothing received: look at the mask
    // again and wait on. A driver that ends such reads at once instead is
    // given a pause, so that the loop never spins.
    if (GetTickCount64() - started < win32::BuildTimeouts().read_total_constant / 2) {
      lock.unlock();
      Sleep(10);
      lock.lock();
    }
  }
}

int SerialQueuedInput(SerialPort* port, std::uint32_t* count) {
  if (!port || !count) return ErrorCode(Failure::kInvalid);
  DWORD in = 0;
  if (const int err = DriverQueues(port->handle, &in, nullptr)) return err;
  std::lock_guard<std::mutex> lock(port->mu);
  *count = in + (port->have_byte ? 1 : 0);
  return 0;
}

int SerialRead(SerialPort* port, void* buffer, std::size_t n, std::size_t* got) {
  if (!port || !got) return ErrorCode(Failure::kInvalid);
  *got = 0;
  if (n == 0) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  {
    std::lock_guard<std::mutex> lock(port->mu);
    if (port->have_byte) {
      out[0] = port->held;
      port->have_byte = false;
      *got = 1;
    }
  }
  // Only what the driver already holds, so the read never waits.
  DWORD in = 0;
  if (const int err = DriverQueues(port->handle, &in, nullptr)) return *got ? 0 : err;
  const std::size_t want = (n - *got) < in ? (n - *got) : in;
  if (want == 0) return 0;
  OVERLAPPED ov{};
  ov.hEvent = port->read_event;
  ResetEvent(port->read_event);
  DWORD r = 0;
  BOOL ok = ReadFile(port->handle, out + *got, DWORD(want), &r, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING)
    ok = GetOverlappedResult(port->handle, &ov, &r, TRUE);
  if (!ok) return *got ? 0 : LastError();
  *got += r;
  return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

bool StalledSince(Clock::time_point since) {
  return Clock::now() - since >= std::chrono::milliseconds(kWriteStallMs);
}

bool Cancelled(SerialPort* port) {
  std::lock_guard<std::mutex> lock(port->issue_mu);
  return port->cancelled;
}

// Writes one piece and waits for it. *taken is what the driver accepted.
// The stall limit counts from *last_progress, which moves whenever the
// driver's output queue changes.
int WritePiece(SerialPort* port, const unsigned char* p, DWORD n, DWORD* taken,
               Clock::time_point* last_progress) {
  *taken = 0;
  {
    std::lock_guard<std::mutex> lock(port->issue_mu);
    if (port->cancelled) return ErrorCode(Failure::kCancelled);
    port->write_ov = OVERLAPPED{};
    port->write_ov.hEvent = port->write_event;
    ResetEvent(port->write_event);
    DWORD w = 0;
    if (WriteFile(port->handle, p, n, &w, &port->write_ov)) {
      *taken = w;
      return 0;
    }
    if (GetLastError() != ERROR_IO_PENDING) return LastError();
  }
  DWORD last_queued = MAXDWORD;
  for (;;) {
    const DWORD r = WaitForSingleObject(port->write_event, kPollMs);
    if (r == WAIT_OBJECT_0) break;
    DWORD queued = 0;
    if (DriverQueues(port->handle, nullptr, &queued) == 0 && queued != last_queued) {
      last_queued = queued;
      *last_progress = Clock::now();
    }
    if (StalledSince(*last_progress)) {
      CancelIoEx(port->handle, &port->write_ov);
      GetOverlappedResult(port->handle, &port->write_ov, taken, TRUE);
      return ErrorCode(Failure::kStalled);
    }
  }
  if (!GetOverlappedResult(port->handle, &port->write_ov, taken, FALSE)) {
    const DWORD err = GetLastError();
    if (Cancelled(port)) return ErrorCode(Failure::kCancelled);
    return err != 0 ? int(err) : ErrorCode(Failure::kIo);
  }
  return 0;
}

// Waits until the driver has sent what it holds, or the device sends
// nothing for the stall limit.
int Drain(SerialPort* port) {
  DWORD last = MAXDWORD;
  auto last_progress = Clock::now();
  for (;;) {
    if (Cancelled(port)) return ErrorCode(Failure::kCancelled);
    DWORD queued = 0;
    if (const int err = DriverQueues(port->handle, nullptr, &queued)) return err;
    if (queued == 0) return 0;
    if (queued != last) {
      last = queued;
      last_progress = Clock::now();
    } else if (StalledSince(last_progress)) {
      return ErrorCode(Failure::kStalled);
    }
    Sleep(2);
  }
}

}  // namespace

int SerialWrite(SerialPort* port, const void* data, std::size_t n, std::size_t* written,
                WriteProgress progress, void* context) {
  if (written) *written = 0;
  if (!port) return ErrorCode(Failure::kNotOpen);
  std::lock_guard<std::mutex> lock(port->write_mu);
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  auto last_progress = Clock::now();
  int err = 0;
  while (done < n || n == 0) {
    const std::size_t left = n - done;
    DWORD taken = 0;
    err = WritePiece(port, p + done, DWORD(left < kPieceBytes ? left : kPieceBytes), &taken,
                     &last_progress);
    if (taken > 0) {
      done += taken;
      last_progress = Clock::now();
      if (progress) progress(done, context);
    }
    if (err == 0 && Cancelled(port)) err = ErrorCode(Failure::kCancelled);
    if (err != 0 || n == 0) break;
    if (taken == 0) {
      if (StalledSince(last_progress)) {
        err = ErrorCode(Failure::kStalled);
        break;
      }
      Sleep(1);  // a driver that took nothing and said nothing
    }
  }
  if (written) *written = done;
  if (err != 0) return err;
  return Drain(port);
}

void SerialCancelWrites(SerialPort* port) {
  if (!port) return;
  std::lock_guard<std::mutex> lock(port->issue_mu);
  port->cancelled = true;
  CancelIoEx(port->handle, &port->write_ov);
  PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
}

}  // namespace platform
