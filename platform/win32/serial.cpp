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
// Writes: the whole buffer in one overlapped WriteFile, so the driver always
// holds the rest of it and the line never idles between pieces (the
// standard serial driver keeps no transmit buffer beyond the write request
// in hand). What the count still queued (COMSTAT.cbOutQue) means while that
// request is pending differs from driver to driver, so this file only looks
// and acts: WriteWatch (write_watch.h) decides what to report as taken, when
// the line is stalled and when the drain after the request is done, and
// bounds what a cancelled write sent. See SerialWrite.
#include "platform/serial.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/common/port_name.h"
#include "platform/win32/comm_config.h"
#include "platform/win32/last_error.h"
#include "platform/win32/text.h"
#include "platform/win32/write_watch.h"

namespace platform {

using win32::LastError;
using Clock = std::chrono::steady_clock;

namespace {

// One overlapped write: its OVERLAPPED, its event, and the bytes, copied
// from the caller. Windows may write to the OVERLAPPED and read the bytes
// until the request completes, which a driver that mishandles cancellation
// may never do; such a request is abandoned, never freed (see SerialWrite),
// and the caller's buffer, which the caller frees when SerialWrite returns,
// was never handed to Windows.
struct WriteRequest {
  OVERLAPPED ov{};
  HANDLE event = nullptr;
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t capacity = 0;
};

WriteRequest* NewWriteRequest() {
  auto* r = new (std::nothrow) WriteRequest;
  if (!r) return nullptr;
  r->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!r->event) {
    delete r;
    return nullptr;
  }
  return r;
}

void FreeWriteRequest(WriteRequest* r) {
  if (!r) return;
  CloseHandle(r->event);
  delete r;
}

}  // namespace

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
  // The write in flight against SerialCancelWrites: the flags, the request
  // and the count queued when the cancel came.
  std::mutex issue_mu;
  bool cancelled = false;
  bool write_active = false;  // between a write's WriteFile and its end
  bool queued_sampled = false;
  DWORD queued_at_cancel = 0;
  Clock::time_point cancel_at;      // when it was sampled
  WriteRequest* request = nullptr;  // made on first use, again after one is abandoned
  HANDLE cancel_event = nullptr;    // set for good by SerialCancelWrites

  std::mutex line_mu;  // the settings last applied, for the line time
  LineSettings line;

  // The driver's own XON/XOFF limits and input buffer size, as found at
  // the open, and whether SetCommState refused those limits.
  win32::FlowLimits driver_limits;
  std::uint32_t rx_queue = 0;
  bool driver_limits_refused = false;

  // The lines as last set: every DCB written carries them, so that new
  // line settings do not change them.
  bool dtr = true;
  bool rts = false;
};

namespace {

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
  dcb.XonChar = static_cast<char>(d.xon_char);
  dcb.XoffChar = static_cast<char>(d.xoff_char);
  // The driver's own limits where they fit its buffer; computed ones where
  // they do not, or once SetCommState has refused the driver's.
  for (;;) {
    const win32::FlowLimits limits =
        win32::ChooseFlowLimits(port->driver_limits, port->rx_queue, port->driver_limits_refused);
    dcb.XonLim = limits.xon_lim;
    dcb.XoffLim = limits.xoff_lim;
    if (SetCommState(port->handle, &dcb)) break;
    const DWORD err = GetLastError();
    const bool drivers = limits.xon_lim == port->driver_limits.xon_lim &&
                         limits.xoff_lim == port->driver_limits.xoff_lim;
    if (err != ERROR_INVALID_PARAMETER || !drivers || port->driver_limits_refused)
      return err != 0 ? int(err) : ErrorCode(Failure::kInvalid);
    port->driver_limits_refused = true;
  }
  // A driver may take the call and keep another speed or size: read back.
  // The speed may read back as the rate the divisor really makes.
  DCB applied{};
  applied.DCBlength = sizeof applied;
  if (!GetCommState(port->handle, &applied)) return LastError();
  if (!win32::BaudMatches(dcb.BaudRate, applied.BaudRate) || applied.ByteSize != dcb.ByteSize)
    return ErrorCode(Failure::kInvalid);
  std::lock_guard<std::mutex> lock(port->line_mu);
  port->line = s;
  return 0;
}

// Received bytes the driver holds and bytes still to be sent, clearing any
// pending line error.
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
  for (HANDLE e : {p->wait_event, p->read_event, p->cancel_event})
    if (e) CloseHandle(e);
  // No write is in flight (SerialClose's contract); an abandoned request is
  // no longer the port's and stays.
  FreeWriteRequest(p->request);
  delete p;
}

}  // namespace

std::string SerialDevicePath(const char* name) {
  if (!name) return "";
  char path[MAX_PATH];
  if (!win32::DevicePath(name, path, sizeof path)) return name;
  return path;
}

// A port that another program holds opens with "access denied" (share mode
// 0); Windows has no separate permission failure for a serial port.
OpenFailure SerialOpenFailure(int code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
      return OpenFailure::kNoDevice;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return OpenFailure::kBusy;
    default:
      return OpenFailure::kOther;
  }
}

int SerialOpen(const char* name, SerialPort** port) {
  if (!name || !port) return ErrorCode(Failure::kInvalid);
  if (IsUnmappedPortName(name)) return ERROR_FILE_NOT_FOUND;
  char path[MAX_PATH];
  if (!win32::DevicePath(name, path, sizeof path)) return ErrorCode(Failure::kInvalid);
  std::wstring wide;
  if (const int err = win32::WideFromUtf8(path, &wide)) return err;
  // Share mode 0: the port is ours alone until closed; a port that another
  // program holds fails here with ERROR_ACCESS_DENIED.
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  // A unit that wires RTS to its reset or boot pin sees every moment it
  // stands: drop it before anything else. Devices without modem lines
  // refuse this.
  EscapeCommFunction(h, CLRRTS);
  // A line error already pending (a break or framing error from a unit
  // powering up, kept since an earlier program left abort-on-error set)
  // would fail every read and write until acknowledged: acknowledge it
  // before the settings are read or written.
  DWORD line_errors = 0;
  ClearCommError(h, &line_errors, nullptr);
  auto* p = new (std::nothrow) SerialPort;
  if (!p) {
    CloseHandle(h);
    return ErrorCode(Failure::kNoResources);
  }
  p->handle = h;
  p->wait_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  p->read_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  p->cancel_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!p->wait_event || !p->read_event || !p->cancel_event) {
    const int err = LastError();
    FreePort(p);
    return err;
  }
  int err = 0;
  // A hint that drivers may ignore; computed XON/XOFF limits fit this size
  // when the driver tells no size of its own.
  SetupComm(h, win32::kQueueBytes, win32::kQueueBytes);
  // DTR stays as the open left it, until SerialSetModemLines; RTS stays down.
  DCB opened{};
  opened.DCBlength = sizeof opened;
  if (GetCommState(h, &opened)) {
    p->dtr = opened.fDtrControl != DTR_CONTROL_DISABLE;
    p->driver_limits = {opened.XonLim, opened.XoffLim};
  }
  // The input buffer the driver has now, after the hint (0: it does not say).
  COMMPROP props{};
  if (GetCommProperties(h, &props)) p->rx_queue = props.dwCurrentRxQueue;
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
  // read or write of ours is pending on the handle, except a write that a
  // driver never completed after its cancel: that request was abandoned
  // (SerialWrite) and keeps its OVERLAPPED, event and bytes; closing the
  // handle asks the driver once more to end it.
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
  {
    // A driver that reports the rate its divisor makes reads back the speed
    // that was set, as ApplyDcb accepted it (and as the run log shows it).
    std::lock_guard<std::mutex> lock(port->line_mu);
    if (win32::BaudMatches(port->line.baud, dcb.BaudRate)) s.baud = port->line.baud;
  }
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

// How long a write that was cancelled or stalled is waited for before it is
// abandoned.
constexpr DWORD kAbandonWaitMs = 2000;

std::uint64_t MsSince(Clock::time_point start, Clock::time_point t) {
  return t <= start ? 0
                    : std::uint64_t(
                          std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count());
}

LineSettings CurrentLine(SerialPort* port) {
  std::lock_guard<std::mutex> lock(port->line_mu);
  return port->line;
}

// One write in progress: the request, what its completed requests took, and
// the watch that decides what the port's counts mean.
struct Transfer {
  SerialPort* port;
  WriteRequest* r;
  std::size_t n;
  win32::WriteWatch watch;
  WriteProgress progress;
  void* context;
  Clock::time_point started = Clock::now();
  std::size_t done = 0;     // what requests that completed have taken
  std::uint64_t shown = 0;  // what was last reported as taken

  std::uint64_t Ms() const { return MsSince(started, Clock::now()); }
  void Report(std::uint64_t taken) {
    if (taken <= shown) return;
    shown = taken;
    if (progress) progress(std::size_t(taken), context);
  }
  // The count the driver still holds, now.
  win32::WriteObservation Look(bool completed) const {
    win32::WriteObservation o;
    o.ms = Ms();
    o.completed = completed;
    DWORD queued = 0;
    o.have_count = DriverQueues(port->handle, nullptr, &queued) == 0;
    o.queued = queued;
    return o;
  }
};

// Issues the write of bytes [from, n) of the request. 0 when it is under
// way (pending or already done), else the error, with nothing sent.
int Issue(Transfer& t, std::size_t from) {
  SerialPort* port = t.port;
  std::lock_guard<std::mutex> lock(port->issue_mu);
  if (port->cancelled) return ErrorCode(Failure::kCancelled);
  t.r->ov = OVERLAPPED{};
  t.r->ov.hEvent = t.r->event;
  ResetEvent(t.r->event);
  port->write_active = true;
  if (!WriteFile(port->handle, t.r->bytes.get() + from, DWORD(t.n - from), nullptr, &t.r->ov) &&
      GetLastError() != ERROR_IO_PENDING)
    return LastError();
  return 0;
}

// Ends a request still in flight: asks Windows to cancel it and waits
// kAbandonWaitMs at most. *got is what the request reports it transferred,
// when it has completed. A request still pending then is abandoned on
// purpose: it is no longer the port's, and its OVERLAPPED, event and bytes
// stay allocated for the life of the process, since Windows may complete it
// (writing the OVERLAPPED, signalling the event, reading the bytes) at any
// later time. Returns whether it completed.
bool EndRequest(Transfer& t, DWORD* got) {
  SerialPort* port = t.port;
  CancelIoEx(port->handle, &t.r->ov);
  if (WaitForSingleObject(t.r->event, kAbandonWaitMs) == WAIT_OBJECT_0) {
    GetOverlappedResult(port->handle, &t.r->ov, got, FALSE);
    return true;
  }
  std::lock_guard<std::mutex> lock(port->issue_mu);
  port->request = nullptr;
  return false;
}

// Waits on the request and then on the drain, looking at the port as the
// watch asks and doing what it decides: reports progress, and ends on
// kDone (0), kStalled, a cancel or a failure. *pending tells whether the
// request is still in flight when it ends; *cut_look is the last look.
int Follow(Transfer& t, bool* pending, win32::WriteObservation* cut_look) {
  const HANDLE waits[2] = {t.port->cancel_event, t.r->event};
  DWORD wait = win32::kWritePollMs;
  *pending = true;
  for (;;) {
    const DWORD w = WaitForMultipleObjects(*pending ? 2 : 1, waits, FALSE, wait);
    if (w == WAIT_OBJECT_0) return ErrorCode(Failure::kCancelled);
    if (w == WAIT_FAILED) return LastError();
    if (*pending && w == WAIT_OBJECT_0 + 1) {
      DWORD got = 0;
      const BOOL ok = GetOverlappedResult(t.port->handle, &t.r->ov, &got, FALSE);
      const int err = ok ? 0 : LastError();
      *pending = false;
      t.done += got;
      if (err != 0) return err;
      // Neither an error nor a byte: nothing more will come.
      if (got == 0 && t.done < t.n) return ErrorCode(Failure::kIo);
      // Completed short without an error (write time-outs of 0 rule it
      // out): the rest goes as a request of its own, within the same watch,
      // since the count covers what is left of pending writes.
      if (t.done < t.n) {
        if (const int issue = Issue(t, t.done)) return issue;
        *pending = true;
      }
    }
    *cut_look = t.Look(!*pending);
    const win32::WriteDecision d = t.watch.Observe(*cut_look);
    t.Report(d.taken);
    if (d.state == win32::WriteState::kStalled) return ErrorCode(Failure::kStalled);
    if (d.state == win32::WriteState::kDone) return 0;
    wait = d.wait_ms;
  }
}

}  // namespace

// The whole buffer goes in one WriteFile, followed and drained as the
// watch (write_watch.h) decides. A cancel or a stall cancels the request and
// discards what the driver holds; *written is then what the watch bounds as
// sent at that moment.
int SerialWrite(SerialPort* port, const void* data, std::size_t n, std::size_t* written,
                WriteProgress progress, void* context) {
  if (written) *written = 0;
  if (!port) return ErrorCode(Failure::kNotOpen);
  if (n > 0xFFFFFFFFu) return ErrorCode(Failure::kTooLarge);
  std::lock_guard<std::mutex> lock(port->write_mu);
  {
    std::lock_guard<std::mutex> issue(port->issue_mu);
    if (port->cancelled) return ErrorCode(Failure::kCancelled);
    if (!port->request && !(port->request = NewWriteRequest()))
      return ErrorCode(Failure::kNoResources);
  }
  // The request's own copy: the caller may free its buffer when this
  // returns, even while an abandoned request still refers to the bytes.
  WriteRequest* r = port->request;
  if (r->capacity < n) {
    r->bytes.reset(new (std::nothrow) unsigned char[n]);
    r->capacity = r->bytes ? n : 0;
    if (!r->bytes) return ErrorCode(Failure::kNoResources);
  }
  if (n > 0) std::memcpy(r->bytes.get(), data, n);
  Transfer t{port, r, n, win32::WriteWatch(n, CurrentLine(port)), progress, context};

  bool pending = false;
  win32::WriteObservation at;
  int err = Issue(t, 0);
  const bool issued = err == 0;
  if (issued) err = Follow(t, &pending, &at);
  bool request_done = !pending;
  std::uint64_t request_bytes = t.done;
  if (issued && err != 0) {
    // A stall is bounded by the look that found it; any other end by a
    // look now, before the purge or cancel changes the count.
    if (ErrorIs(err, Failure::kStalled))
      PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    else
      at = t.Look(!pending);
    DWORD got = 0;
    if (pending && EndRequest(t, &got)) {
      request_done = true;
      request_bytes += got;
    }
  }

  std::lock_guard<std::mutex> issue(port->issue_mu);
  port->write_active = false;
  // A cancel cuts the write short even when the driver completed it first:
  // what the driver held then was discarded. The count sampled at the
  // cancel, at its moment, is what the bound rests on.
  if (issued && port->cancelled) {
    err = ErrorCode(Failure::kCancelled);
    at.ms = port->queued_sampled ? MsSince(t.started, port->cancel_at) : t.Ms();
    at.completed = false;
    at.have_count = port->queued_sampled;
    at.queued = port->queued_at_cancel;
  }
  // Nothing went out of a write that was never issued.
  if (written && err == 0) *written = n;
  if (written && err != 0 && issued)
    *written = std::size_t(t.watch.SentWhenCut(at, request_done, request_bytes));
  return err;
}

void SerialCancelWrites(SerialPort* port) {
  if (!port) return;
  std::lock_guard<std::mutex> lock(port->issue_mu);
  if (!port->cancelled && port->write_active) {
    // What the driver still holds of the write in flight, which the purge
    // below discards: the writer reports the rest as sent.
    DWORD queued = 0;
    if (DriverQueues(port->handle, nullptr, &queued) == 0) {
      port->queued_sampled = true;
      port->queued_at_cancel = queued;
      port->cancel_at = Clock::now();
    }
  }
  port->cancelled = true;
  SetEvent(port->cancel_event);
  if (port->write_active && port->request) CancelIoEx(port->handle, &port->request->ov);
  PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
}

}  // namespace platform
