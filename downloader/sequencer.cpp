#include "downloader/sequencer.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "downloader/errors.h"
#include "downloader/messages.h"
#include "downloader/progress_line.h"
#include "downloader/receiver.h"
#include "downloader/station_channel.h"
#include "downloader/run_state.h"
#include "downloader/transmitter.h"
#include "downloader/vp_file.h"
#include "platform/serial.h"

namespace tonecast {

std::int32_t g_transfer_state = ST_IDLE;
std::uint32_t g_transfer_timer = 0;
std::int32_t g_current_file = 0;

namespace {

// Set when UM_INTERRUPT has been taken: from then on the transfer only
// winds down (no further dialogue with the unit).
bool g_interrupted = false;

std::uint32_t ArmPlatformTimer(std::uint32_t ms) { return platform::TimerSet(ms); }
void CancelPlatformTimer(std::uint32_t id) { platform::TimerKill(id); }

TransferServices g_services = DefaultTransferServices();

void Print(const char* text) {
  ProgressErase();
  std::fputs(text, stdout);
  std::fflush(stdout);
}

using Handler = int (*)(std::uint32_t wparam, const char* text);

// Reply tests compare the start of the line; a shorter line does not match.
bool StartsWith(const char* text, const char* reply) {
  return text && std::strncmp(text, reply, std::strlen(reply)) == 0;
}

// Arms the one transfer timer and returns next; a timer that cannot be
// armed ends the transfer as an internal failure.
int ArmThen(std::uint32_t ms, int next) {
  g_transfer_timer = g_services.arm_timer(ms);
  if (g_transfer_timer == 0) return ReportUndefinedError();
  return next;
}

// A send cut short by an interrupt is the interrupt's first sign on this
// thread (its message may still be queued): it is reported here, at once,
// so that the console says why before the port is closed, whichever the
// step. The queued message then finds the transfer already winding down.
std::int32_t Send(const void* data, std::uint32_t size) {
  const std::int32_t rc = g_services.send(data, size);
  if (platform::ErrorIs(rc, platform::Failure::kCancelled) && !g_interrupted) {
    g_interrupted = true;
    ReportError(ERR_INTERRUPTED, nullptr);
  }
  return rc;
}

int PostToWorker(std::uint32_t kind, std::uint32_t wparam, std::uintptr_t lparam) {
  return g_services.post(g_thread_slots[1].id, kind, wparam, lparam);
}

int Stay(std::uint32_t, const char*) { return g_transfer_state; }

int CloseLink(std::uint32_t, const char*) {
  ReleaseLoadedData();  // an image not sent by now will not be
  Print("Close COM port.\n");
  StationStep("Close COM port.");
  g_services.stop_receiving();
  if (PostToWorker(UM_CLOSE, 0, 0) != 0) return ReportUndefinedError();
  return ArmThen(kReplyMs, ST_CLOSING);
}

int SendEnd() {
  if (Send("VPE\r", 4) != 0) return CloseLink(0, nullptr);
  Print("end. \nWaiting for the end...");
  StationStep("Waiting for the end...");
  return ArmThen(kReplyMs, ST_ENDING);
}

int OnOpenResult(std::uint32_t code, const char*) {
  if (code != 0) {
    char name[kPortPathSize];
    FormatPortName(name, sizeof name);
    char text[kPortPathSize + 40];
    std::snprintf(text, sizeof text, "Cannot open %s. (code:%d)", name,
                  static_cast<std::int32_t>(code));
    ReportError(ERR_UNDEFINED, text);
    ReportAdvice(platform::SerialOpenAdvice(name, static_cast<std::int32_t>(code)));
    return ST_IDLE;
  }
  if (Send("VPL\r", 4) != 0) return CloseLink(0, nullptr);
  Print("\nFlash inithalizing...");
  StationStep("Flash inithalizing...");
  return ArmThen(kInitReplyMs, ST_INITIALIZING);
}

// After the "ACK" to "VPL" (with a text) and after the speed has come back
// down after a file (without): announce the next file, or finish.
int OnInitReply(std::uint32_t, const char* text) {
  if (text) {
    if (StartsWith(text, "NAK")) {
      ReportError(ERR_INIT, nullptr);
      return SendEnd();
    }
    if (!StartsWith(text, "ACK")) return ArmThen(kInitReplyMs, g_transfer_state);
  } else {
    g_services.pause(kSettleMs);
  }
  Print("end. \n");
  for (int i = g_current_file; i < kDataFileCount; ++i) {
    const DataFileEntry& entry = g_data_files[i];
    if (entry.size == 0 || entry.valid == 0) continue;
    const int loaded = LoadDataFile(entry.name, entry.size);
    if (loaded < 0) return ReportUndefinedError();
    if (loaded > 0) continue;
    g_current_file = i;
    char* command = new (std::nothrow) char[128];
    if (!command) {
      ReleaseLoadedData();
      return ReportUndefinedError();
    }
    const int flash = DecodeFlashSize(g_option_text) == FLASH_16M ? FLASH_16M : FLASH_8M;
    std::snprintf(command, 128, "VPD %x %x %x \r", static_cast<unsigned>(i),
                  static_cast<unsigned>(entry.size), static_cast<unsigned>(flash));
    if (Send(command, static_cast<std::uint32_t>(std::strlen(command))) != 0) {
      delete[] command;
      ReleaseLoadedData();  // the image will not be sent
      g_current_file = kDataFileCount;
      break;
    }
    Print("Prepare downloading...");
    StationStep("Prepare downloading...");
    delete[] command;
    return ArmThen(kReplyMs, ST_PREPARING);
  }
  return SendEnd();
}

int OnPrepareReply(std::uint32_t, const char* text) {
  if (StartsWith(text, "NAK")) {
    ReportError(ERR_DOWNLOAD_CMD, nullptr);
    ReleaseLoadedData();
    return SendEnd();
  }
  if (!StartsWith(text, "ACK")) return ArmThen(kReplyMs, g_transfer_state);
  Print("end. \n");
  g_services.stop_receiving();
  if (PostToWorker(UM_BAUD, 115200, 0) != 0) return ReportUndefinedError();
  Print("Changing baudrate (UP)...");
  StationStep("Changing baudrate (UP)...");
  return ArmThen(kReplyMs, ST_SPEED_UP);
}

// The file is done (well or not): back to the command speed.
int ProceedAfterFile() {
  Print("end. \n");
  g_current_file += 1;
  g_services.stop_receiving();
  if (PostToWorker(UM_BAUD, 19200, 0) != 0) return ReportUndefinedError();
  Print("Changing baudrate (DOWN)...");
  StationStep("Changing baudrate (DOWN)...");
  return ArmThen(kReplyMs, ST_SPEED_DOWN);
}

int OnSpeedUp(std::uint32_t, const char*) {
  g_services.pause(kSettleMs);
  Print("end. \n");
  char line[64];
  std::snprintf(line, sizeof line, "\nDownload file#%d...", g_current_file);
  Print(line);
  StationStep(line + 1);  // without the leading line end
  const std::uint32_t size =
      (g_current_file >= 0 && g_current_file < kDataFileCount) ? g_data_files[g_current_file].size
                                                               : 0;
  bool sent = false;
  std::int32_t rc = 0;
  if (g_loaded_data) {
    // The cursor stands after "Download file#%d..." (the text minus its line end).
    ProgressBegin(size, static_cast<int>(std::strlen(line)) - 1);
    rc = Send(g_loaded_data, size);  // a failure is reported by the send
    ProgressErase();
    sent = rc == 0;
  } else {
    ReportUndefinedError();  // nothing loaded to send: count it, never pass silently
  }
  ReleaseLoadedData();
  if (platform::ErrorIs(rc, platform::Failure::kCancelled)) {
    // An interrupt cut the image short (reported by Send): nothing more
    // goes to the unit, not even a speed change.
    return CloseLink(0, nullptr);
  }
  if (!sent) {
    g_current_file = kDataFileCount;
    return ProceedAfterFile();
  }
  Print("end. \nNow waiting FIN...");
  StationStep("Now waiting FIN...");
  return ArmThen(kFinReplyMs, ST_WAIT_FIN);
}

int OnFinReply(std::uint32_t, const char* text) {
  if (StartsWith(text, "FIN NG")) {
    ReportError(ERR_FIN_NG, nullptr);
    return ProceedAfterFile();
  }
  if (StartsWith(text, "FIN OK")) return ProceedAfterFile();
  return ArmThen(kFinReplyMs, g_transfer_state);
}

int OnEndReply(std::uint32_t, const char* text) {
  if (StartsWith(text, "NAK")) ReportError(ERR_ADM_BLOCK, nullptr);
  // After a NAK the wait goes on, so a later "ACK" is still taken.
  if (!StartsWith(text, "ACK")) return ArmThen(kReplyMs, g_transfer_state);
  Print("OK...");
  StationStep("OK...");
  return ArmThen(kReplyMs, ST_ENDED);
}

int OnClosed(std::uint32_t, const char*) { return ST_IDLE; }

int OnReplyTimeout(std::uint32_t, const char*) {
  switch (g_transfer_state) {
    case ST_INITIALIZING:
    case ST_ENDING:
      ReportError(ERR_NO_ACK, nullptr);
      break;
    case ST_SPEED_UP:
    case ST_SPEED_DOWN:
      ReportError(ERR_UNDEFINED, "DOWN:RS-232C Thread Locked!!!");
      break;
    case ST_WAIT_FIN:
      ReportError(ERR_DATA_SIZE, nullptr);
      break;
    default:
      break;
  }
  return CloseLink(0, nullptr);
}

int OnPrepareTimeout(std::uint32_t, const char*) {
  ReportError(ERR_NO_ACK, nullptr);
  ReleaseLoadedData();  // the image will not be sent
  return SendEnd();
}

int OnLinkTimeout(std::uint32_t, const char*) {
  if (g_transfer_state == ST_OPENING)
    ReportError(ERR_UNDEFINED, "OPEN:RS-232C Thread Locked!!!");
  else
    ReportError(ERR_UNDEFINED, "CLOSE:RS-232C Thread Locked!!!");
  return ST_IDLE;
}

constexpr int kKinds = 6;  // UM_READY .. UM_TIMEOUT

// Rows: states 0..9. Columns: UM_READY, UM_OPEN, UM_CLOSE, UM_BAUD, UM_LINE,
// UM_TIMEOUT.
const Handler TransferTable[10][kKinds] = {
    /* ST_IDLE         */ {Stay, Stay, Stay, Stay, Stay, Stay},
    /* ST_OPENING      */ {Stay, OnOpenResult, Stay, Stay, Stay, OnLinkTimeout},
    /* ST_INITIALIZING */ {Stay, Stay, Stay, Stay, OnInitReply, OnReplyTimeout},
    /* ST_PREPARING    */ {Stay, Stay, Stay, Stay, OnPrepareReply, OnPrepareTimeout},
    /* ST_SPEED_UP     */ {Stay, Stay, Stay, OnSpeedUp, Stay, OnReplyTimeout},
    /* ST_WAIT_FIN     */ {Stay, Stay, Stay, Stay, OnFinReply, OnReplyTimeout},
    /* ST_SPEED_DOWN   */ {Stay, Stay, Stay, OnInitReply, Stay, OnReplyTimeout},
    /* ST_ENDING       */ {Stay, Stay, Stay, Stay, OnEndReply, OnReplyTimeout},
    /* ST_ENDED        */ {Stay, Stay, Stay, Stay, CloseLink, CloseLink},
    /* ST_CLOSING      */ {Stay, Stay, OnClosed, Stay, Stay, OnLinkTimeout},
};

// An interrupt: counted, then the port is closed as soon as no request to
// the worker is in flight. A state that waits for the worker's result keeps
// waiting for it (bounded by its timer) and closes then, so that the close
// request never overtakes an open or speed request.
int OnInterrupt() {
  if (g_transfer_state == ST_IDLE) return ST_IDLE;
  if (g_interrupted) return ArmThen(kReplyMs, g_transfer_state);  // the wait goes on
  g_interrupted = true;
  ReportError(ERR_INTERRUPTED, nullptr);
  ReleaseLoadedData();
  switch (g_transfer_state) {
    case ST_OPENING:
    case ST_SPEED_UP:
    case ST_SPEED_DOWN:
    case ST_CLOSING:
      return ArmThen(kReplyMs, g_transfer_state);
    default:
      return CloseLink(0, nullptr);
  }
}

// After an interrupt: the awaited result closes the port (or, for an open
// that failed, ends the run), timeouts are those of the table, and anything
// else (a line from the unit) is ignored while the wait goes on.
int WindDown(std::uint32_t kind, std::uint32_t wparam) {
  const int state = g_transfer_state;
  if (kind == UM_TIMEOUT) return TransferTable[state][UM_TIMEOUT - UM_READY](wparam, nullptr);
  if (state == ST_OPENING && kind == UM_OPEN)
    return wparam != 0 ? OnOpenResult(wparam, nullptr) : CloseLink(0, nullptr);
  if ((state == ST_SPEED_UP || state == ST_SPEED_DOWN) && kind == UM_BAUD)
    return CloseLink(0, nullptr);
  if (state == ST_CLOSING && kind == UM_CLOSE) return OnClosed(0, nullptr);
  if (state == ST_IDLE) return ST_IDLE;
  return ArmThen(kReplyMs, state);
}

}  // namespace

TransferServices DefaultTransferServices() {
  return TransferServices{SerialSend, StopReceiving, platform::QueuePost,
                          ArmPlatformTimer, CancelPlatformTimer, platform::SleepMs};
}

void SetTransferServices(const TransferServices& services) { g_services = services; }

void InitTransfer() {
  g_transfer_state = ST_IDLE;
  g_transfer_timer = 0;
  g_current_file = 0;
  ReleaseLoadedData();
  g_interrupted = false;
}

int StartTransfer() {
  if (PostToWorker(UM_OPEN, static_cast<std::uint32_t>(g_com_port), g_cable_flags) != 0) {
    ReportUndefinedError();
    return -2;
  }
  g_transfer_timer = g_services.arm_timer(kReplyMs);
  if (g_transfer_timer == 0) {
    ReportUndefinedError();
    return -3;
  }
  g_current_file = 0;
  g_transfer_state = ST_OPENING;
  return 0;
}

int DispatchTransferMessage(std::uint32_t kind, std::uint32_t wparam, std::uintptr_t lparam) {
  const char* text = kind == UM_LINE ? reinterpret_cast<const char*>(lparam) : nullptr;
  const bool known = (kind >= UM_READY && kind < UM_READY + kKinds) || kind == UM_INTERRUPT;
  if (known && g_transfer_state >= ST_IDLE && g_transfer_state <= ST_CLOSING) {
    if (g_transfer_timer != 0) {
      g_services.cancel_timer(g_transfer_timer);
      g_transfer_timer = 0;
    }
    if (kind == UM_INTERRUPT)
      g_transfer_state = OnInterrupt();
    else if (g_interrupted)
      g_transfer_state = WindDown(kind, wparam);
    else
      g_transfer_state = TransferTable[g_transfer_state][kind - UM_READY](wparam, text);
  }
  // A transfer that has ended sends nothing more.
  if (g_transfer_state == ST_IDLE) ReleaseLoadedData();
  // The received line belongs to this thread from the moment it was posted.
  delete[] text;
  return g_transfer_state == ST_IDLE ? 1 : 0;
}

}  // namespace tonecast
