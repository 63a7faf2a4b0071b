// linepoke: sends its command-line words to the unit as one command ended by
// CR, a byte every 10 ms, then shows what the unit sends until EOT or until
// the user presses Enter. "linepoke /n" stores COMn as the port to use.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/thread.h"
#include "project_version.h"
#include "terminal/comm_port.h"
#include "terminal/delay.h"
#include "terminal/settings_file.h"

namespace {

using linepoke::CloseCommPort;
using linepoke::DelayMs;
using linepoke::OpenCommPort;
using linepoke::ReceiveBytes;
using linepoke::SendByte;

constexpr std::uint8_t kExitOk = 0;
constexpr std::uint8_t kExitFailure = 10;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kSpace = 0x20;
constexpr std::uint8_t kCr = 0x0D;

const char* const kUsage[] = {
    " format : \n",
    " linepoke [COMMAND] [PARAMETER] or linepoke [Option] \n",
    "     Options : \n",
    "     /1    : Use serial port COM1 \n",
    "     /2    : Use serial port COM2 \n",
    "     /3    : Use serial port COM3 \n",
    "     /4    : Use serial port COM4 \n",
    "     /5    : Use serial port COM5 \n",
    "     /6    : Use serial port COM6 \n",
    "     /7    : Use serial port COM7 \n",
    "     /8    : Use serial port COM8 \n",
    "     /9    : Use serial port COM9 \n",
};

constexpr const char* kHelp =
    "usage: linepoke COMMAND [PARAMETER]...\n"
    "       linepoke /n\n"
    "       linepoke --version | --help\n"
    "Sends the words to the unit as one line ended by CR, a byte every 10 ms, and\n"
    "shows what the unit answers until it sends EOT or Enter is pressed.\n"
    "  /n   use COMn (n from 1 to 9) from now on: stored in comm.txt in the working\n"
    "       directory (COM1 when there is none). On Linux COMn opens the device in\n"
    "       $COMn when set, else /dev/ttyS<n-1>\n"
    "--version and --help count only as the sole word; with other words they are\n"
    "sent to the unit like any word.\n"
    "Exit status 0, or 10 with \"ERROR 10: Can't open serialport\" on any failure.\n";

// Set once the port is open; from then on every exit closes it. Main
// thread only.
bool g_port_open = false;
// The watcher thread, once started. Main thread only.
platform::Thread* g_watcher = nullptr;
// True while the user has not pressed Enter. Set before the watcher starts,
// cleared by the watcher, read by the receive loop.
std::atomic<bool> g_running{false};
// Set by the interrupt watcher's thread (Ctrl+C, a request to terminate, the
// terminal closing); the main thread then ends as it does on Enter, but
// prints nothing more and ends by the signal.
std::atomic<bool> g_interrupted{false};

void OnInterrupt() {
  g_interrupted.store(true);
  g_running.store(false);
}

// The one way out of the program.
[[noreturn]] void ExitWithCode(std::uint8_t code) {
  if (code == kExitFailure) {
    std::fputs("\nERROR 10: Can't open serialport \n", stdout);
    std::fflush(stdout);
    // What the failure means and what to do, after the failure's lines.
    if (const std::string& advice = linepoke::OpenFailureAdvice(); !advice.empty()) {
      const std::string line = "linepoke: " + advice + "\n";
      platform::ConsoleWrite(platform::ConsoleStream::kError, line.data(), line.size());
    }
  }
  if (g_port_open) CloseCommPort();
  // A watcher that has seen its character is collected; one still waiting
  // for the console is let go and ends with the process.
  platform::ThreadRelease(g_watcher);
  g_watcher = nullptr;
  std::fflush(stdout);
  // After an interrupt the process ends by that signal, so that a calling
  // shell or script stops too.
  platform::InterruptExit();
  std::exit(code);
}

// Waits for one character (Enter on a console in line mode, or the end of
// input) and then asks the receive loop to stop. Reads through the
// platform, not the C runtime: a thread blocked in getchar holds standard
// input's lock, and the exit's flush of every stream would wait for it.
void InputWatcher(void*) {
  int byte = 0;
  (void)platform::ConsoleReadByte(&byte);  // a byte, the end or an error alike
  g_running.store(false);
}

[[noreturn]] void SelectPort(const char* option) {
  const char digit = option[1];
  if (digit < '1' || digit > '9') ExitWithCode(kExitFailure);
  const char name[] = {'C', 'O', 'M', digit, '\0'};
  // A settings file that was not fully written would name no port next
  // time: report it rather than claim success.
  if (linepoke::WriteSettingsFile(linepoke::kSettingsPath, name) != 0) ExitWithCode(kExitFailure);
  ExitWithCode(kExitOk);
}

// An interrupt stops the command where it stands.
void SendCommand(int count, char** words) {
  for (int i = 0; i < count; ++i) {
    for (const char* p = words[i]; *p != '\0'; ++p) {
      if (g_interrupted.load()) ExitWithCode(kExitOk);
      SendByte(static_cast<std::uint8_t>(*p));
    }
    if (g_interrupted.load()) ExitWithCode(kExitOk);
    SendByte(i + 1 < count ? kSpace : kCr);
  }
}

// Next received byte. Pauses 1 ms at a time while nothing waits and ends the
// program once the user has pressed Enter. A port that fails to read has
// hung up (device gone, adapter pulled): nothing more can arrive, so that
// ends the program as a failure instead of polling a dead port forever.
std::uint8_t NextByte() {
  std::uint8_t byte = 0;
  int error = 0;
  while (ReceiveBytes(&byte, 1, &error) == 0) {
    if (error != 0) ExitWithCode(kExitFailure);
    DelayMs(1);
    if (!g_running.load() || g_interrupted.load()) ExitWithCode(kExitOk);
  }
  return byte;
}

[[noreturn]] void ShowAnswer() {
  for (;;) {
    const std::uint8_t byte = NextByte();
    if (byte == kEot || g_interrupted.load()) ExitWithCode(kExitOk);
    std::putchar(byte);
    if (!g_running.load()) ExitWithCode(kExitOk);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: no port or file may become a standard
  // stream (a closed standard input reads as at its end). A closed pipe on
  // standard output fails a write, not the program.
  platform::ConsoleGuardStandardStreams();
  platform::ConsoleSurviveBrokenOutputs();
  // Every character shows the moment it is printed.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  if (argc < 2) {
    for (const char* line : kUsage) std::fputs(line, stdout);
    ExitWithCode(kExitOk);
  }
  // Only as the sole word: "linepoke --help X" sends its words as ever.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("linepoke %s\n", kProjectVersionText);
    ExitWithCode(kExitOk);
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    ExitWithCode(kExitOk);
  }
  if (argv[1][0] == '/') SelectPort(argv[1]);

  // From the port's open on, an interrupt closes it as the normal end does.
  // A watch that cannot be set leaves interrupts their default effect.
  platform::InterruptWatch(OnInterrupt);
  if (OpenCommPort() != 0) ExitWithCode(kExitFailure);
  g_port_open = true;
  if (g_interrupted.load()) ExitWithCode(kExitOk);
  DelayMs(10);
  SendCommand(argc - 1, argv + 1);

  g_running.store(true);
  platform::ThreadId watcher_id = 0;
  if (platform::ThreadCreate(InputWatcher, nullptr, false, &g_watcher, &watcher_id) != 0) {
    g_watcher = nullptr;
    ExitWithCode(kExitOk);
  }
  ShowAnswer();
}
