#include "terminal/comm_port.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/serial.h"
#include "terminal/delay.h"
#include "terminal/settings_file.h"

namespace linepoke {
namespace {

// Null while the port is closed.
platform::SerialPort* g_port = nullptr;
// What the last failed OpenCommPort adds for the user.
std::string g_advice;

constexpr std::uint32_t kLineBaud = 19200;
constexpr std::uint16_t kPacingMs = 10;

void PrintDiagnostic(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Fills `name` with the port name: the settings file's first word cut to
// its first four characters, or COM1 (then also written to a new settings
// file) when there is no settings file to read.
int LoadPortName(char (&name)[kNameBufferSize]) {
  const int read = ReadSettingsWord(kSettingsPath, name, sizeof name);
  if (read != 0 && !platform::ErrorIs(read, platform::Failure::kNotFound)) {
    // There but not a regular file (a FIFO, a device, a directory), or
    // unreadable: neither read nor replaced.
    PrintDiagnostic("\n Can't open comm.txt \n");
    g_advice =
        std::string(kSettingsPath) +
        ": not a readable regular file in the working directory (code:" + std::to_string(read) +
        ")";
    return read;
  }
  if (read != 0) {
    static constexpr char kDefaultPort[] = "COM1";
    static_assert(sizeof kDefaultPort <= kNameBufferSize);
    std::memcpy(name, kDefaultPort, sizeof kDefaultPort);
    bool created = false;
    // Only the creation counts: the name in memory serves this run even if
    // the write itself should fail.
    const int status = WriteSettingsFile(kSettingsPath, kDefaultPort, &created);
    if (!created) {
      PrintDiagnostic("\n Can't open comm.txt \n");
      g_advice = std::string(kSettingsPath) +
                 ": cannot be created in the working directory (code:" + std::to_string(status) +
                 "); run linepoke where it may write";
      return status != 0 ? status : platform::ErrorCode(platform::Failure::kIo);
    }
  }
  name[kPortNameLength] = '\0';
  return 0;
}

// Lets go of a port whose configuration failed: no line changes and no
// purge, only what the end of the process would do, but at once, so that
// the exclusive hold does not outlive the process on devices that keep it.
int GiveUpPort(const char* diagnostic, int status) {
  PrintDiagnostic(diagnostic);
  platform::InterruptGuardPort(nullptr);
  platform::SerialClose(g_port);
  g_port = nullptr;
  return status;
}

}  // namespace

const std::string& OpenFailureAdvice() { return g_advice; }

int OpenCommPort() {
  if (g_port) return 0;
  g_advice.clear();

  char name[kNameBufferSize] = {};
  if (const int status = LoadPortName(name); status != 0) return status;

  // A settings file without a word names no port at all; that fails just
  // as a name that opens nothing does.
  int status = name[0] == '\0' ? platform::ErrorCode(platform::Failure::kNotFound)
                                : platform::SerialOpen(name, &g_port);
  if (status != 0) {
    g_port = nullptr;
    PrintDiagnostic("\n CreateFile error \n");
    g_advice = name[0] == '\0' ? std::string(kSettingsPath) +
                                     ": names no port; linepoke /n stores COMn (n from 1 to 9)"
                               : platform::SerialOpenAdvice(name, status);
    return status;
  }
  // An immediate end (a second interrupt) releases the exclusive hold.
  platform::InterruptGuardPort(g_port);

  // Driver queues are not sized: the terminal driver's buffers already hold
  // more than the 1024 bytes a command and its answer need.
  platform::SerialPurge(g_port, platform::kPurgeRx | platform::kPurgeTx);

  platform::LineSettings settings;
  status = platform::SerialGetSettings(g_port, &settings);
  if (status != 0) return GiveUpPort("\n SetupComm error \n", status);
  settings.baud = kLineBaud;
  settings.data_bits = 8;
  settings.stop_bits = 1;
  // The settings keep whatever parity the port's last user left; the
  // unit's service port runs without parity, so none is set.
  settings.parity = 'N';
  settings.rts_cts = false;
  settings.xon_xoff = false;
  status = platform::SerialSetSettings(g_port, settings);
  if (status == 0) status = platform::SerialSetModemLines(g_port, /*dtr=*/true, /*rts=*/false);
  if (status != 0) return GiveUpPort("\n SetCommState error \n", status);

  // Reads never wait on this port, so there are no read time-outs to set.
  // Asking for the queued count clears any pending line error.
  std::uint32_t queued = 0;
  platform::SerialQueuedInput(g_port, &queued);
  return 0;
}

void CloseCommPort() {
  if (!g_port) return;
  // RTS falls first, then DTR.
  platform::SerialSetModemLines(g_port, /*dtr=*/true, /*rts=*/false);
  platform::SerialSetModemLines(g_port, /*dtr=*/false, /*rts=*/false);
  // Only unread input is discarded. Every byte written has already been
  // waited for, so the output side holds nothing that should be dropped;
  // but where the driver reports a byte as sent before the other side has
  // it (a pseudo-terminal), discarding output would lose the end of the
  // command that was just sent.
  platform::SerialPurge(g_port, platform::kPurgeRx);
  platform::InterruptGuardPort(nullptr);
  platform::SerialClose(g_port);
  g_port = nullptr;
}

void SendByte(std::uint8_t byte) {
  if (g_port) {
    std::size_t written = 0;
    platform::SerialWrite(g_port, &byte, 1, &written);
  }
  DelayMs(kPacingMs);
}

std::uint8_t ReceiveBytes(std::uint8_t* buffer, std::uint8_t count, int* error) {
  if (error) *error = 0;
  if (!g_port) return 0;
  // Look at the queued count before reading: a raw terminal read that finds
  // nothing returns the same empty result as one on a port that has hung
  // up, whereas asking for the count fails outright once the port is gone.
  std::uint32_t queued = 0;
  int status = platform::SerialQueuedInput(g_port, &queued);
  if (status == 0 && queued == 0) return 0;
  std::size_t got = 0;
  if (status == 0)
    status = platform::SerialRead(g_port, buffer, queued < count ? queued : count, &got);
  if (status != 0) {
    if (error) *error = status;
    return 0;
  }
  return static_cast<std::uint8_t>(got);
}

}  // namespace linepoke
