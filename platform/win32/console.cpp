// The console on Windows: standard handles, and Ctrl+C, Ctrl+Break and the
// console window closing through SetConsoleCtrlHandler (logoff and shutdown
// never reach a program that loads user32.dll: see OnConsoleEvent).
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/win32/console_restore.h"

namespace platform {
namespace {

// How long a closing console window waits for the clean-up: Windows ends
// the process after about 5 s whatever the handler does. A window closed
// while an open or speed change is still with the worker may end the run
// before the run log's closing records.
constexpr DWORD kCloseGraceMs = 4500;
// How long a console read that Ctrl+C ended waits for the control handler,
// which Windows runs on a thread of its own at the same moment.
constexpr DWORD kCtrlCReadGraceMs = 1000;

std::atomic<InterruptRoutine> g_routine{nullptr};
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_closing{false};  // the first request was the console closing
HANDLE g_interrupt_event = nullptr;  // set by the first interrupt
HANDLE g_exit_event = nullptr;       // set when the program is about to end

// Ends the process at once, as Ctrl+C does by default: no exit handlers,
// which could wait for a lock that a stuck thread holds. Standard output is
// unbuffered, so nothing printed is lost.
[[noreturn]] void EndLikeCtrlC() {
  win32::RestoreConsole();  // exit handlers, which would do it, do not run
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  ExitProcess(STATUS_CONTROL_C_EXIT);  // not reached
}

// Ctrl+C, Ctrl+Break and the console window closing. Logoff and shutdown
// are not among them: a console program that loads user32.dll is not sent
// CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT (Windows counts it as a windowed
// program), and every program here loads it, through shell32's
// CommandLineToArgvW and SetupAPI. What a logoff or a shutdown does to a
// run is the system's to decide; those two events go, should they ever
// come, to the next handler as any other event does.
BOOL WINAPI OnConsoleEvent(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  const bool closing = type == CTRL_CLOSE_EVENT;
  if (closing && g_interrupts.load() == 0) g_closing.store(true);
  if (g_interrupts.fetch_add(1) > 0) {
    // A second request of the user's: the clean-up is taking too long. The
    // port's handle, and with it the exclusive hold, goes with the process.
    // A window that closes while the first request is being handled is
    // not such a request: it waits for the clean-up as the first one does.
    if (closing) WaitForSingleObject(g_exit_event, kCloseGraceMs);
    EndLikeCtrlC();
  }
  SetEvent(g_interrupt_event);
  if (closing) {
    // Windows ends the process as soon as this handler returns (and after
    // about 5 s in any case): hold it until the clean-up calls
    // InterruptExit, which ends the process itself.
    WaitForSingleObject(g_exit_event, kCloseGraceMs);
    EndLikeCtrlC();
  }
  return TRUE;
}

// The platform's own thread: runs the routine once, outside the handler.
DWORD WINAPI InterruptThread(void*) {
  WaitForSingleObject(g_interrupt_event, INFINITE);
  if (InterruptRoutine routine = g_routine.load()) routine();
  return 0;
}

// Whether a standard handle stands for something open. A handle value
// inherited from a parent that closed it (or never made it inheritable)
// names nothing, or by chance an object of this process that is no file (an
// event, a key): GetFileType then fails, returning FILE_TYPE_UNKNOWN with an
// error. FILE_TYPE_UNKNOWN with NO_ERROR is an open handle of a kind Windows
// does not classify.
bool StandardHandleOpen(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  SetLastError(NO_ERROR);
  return GetFileType(h) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

}  // namespace

void ConsoleGuardStandardStreams() {
  static constexpr DWORD kStd[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd < 3; ++fd) {
    // Asked of the standard handle, not of the descriptor: the C runtime
    // may treat a question about a closed descriptor as a fatal error. The
    // C runtime made the same GetFileType check when it started and gave
    // the descriptor of a stale handle no handle at all, so replacing the
    // descriptor below never closes the stale value (which could by now
    // name another handle of this process).
    if (StandardHandleOpen(GetStdHandle(kStd[fd]))) continue;
    const int null_fd = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null_fd < 0) continue;
    if (null_fd != fd) {
      _dup2(null_fd, fd);
      _close(null_fd);
    }
    SetStdHandle(kStd[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
  }
}

// Windows has no signal for a closed pipe or an exceeded file size: such a
// write already fails with an error.
void ConsoleSurviveBrokenOutputs() {}

namespace {

HANDLE StreamHandle(ConsoleStream stream) {
  return GetStdHandle(stream == ConsoleStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

// A console counts only when it takes the terminal sequences that redraw a
// line in place (Windows 10 and later, once asked); an older console would
// show them as text. The mode belongs to the console, which the shell
// shares: the one found is given back when the process ends.
bool ConsoleCanRedraw(ConsoleStream stream) {
  const HANDLE h = StreamHandle(stream);
  DWORD mode = 0;
  if (!GetConsoleMode(h, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  win32::RememberConsoleMode(h);
  return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// NO_COLOR, and TERM=dumb where a POSIX-like terminal set it, count as they
// do elsewhere.
bool ConsoleCanColour(ConsoleStream stream) {
  wchar_t value[8];
  if (GetEnvironmentVariableW(L"NO_COLOR", value, 8) > 0) return false;
  const DWORD term = GetEnvironmentVariableW(L"TERM", value, 8);
  if (term > 0 && term < 8 && std::wstring(value) == L"dumb") return false;
  return ConsoleCanRedraw(stream);
}

// A process has one console: two handles that are both console output
// handles show on the same screen.
bool ConsoleStreamsShareTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(StreamHandle(ConsoleStream::kOutput), &mode) &&
         GetConsoleMode(StreamHandle(ConsoleStream::kError), &mode);
}

int ConsoleColumns(ConsoleStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(StreamHandle(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int ConsoleRows(ConsoleStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(StreamHandle(stream), &info)) return 0;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

int ConsoleWrite(ConsoleStream stream, const void* data, std::size_t n) {
  const HANDLE h = StreamHandle(stream);
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD wrote = 0;
    const DWORD chunk = n > 65536 ? 65536 : DWORD(n);
    if (!WriteFile(h, p, chunk, &wrote, nullptr)) return int(GetLastError());
    if (wrote == 0) return ErrorCode(Failure::kIo);
    p += wrote;
    n -= wrote;
  }
  return 0;
}

// ReadFile on the handle, never the C runtime: a thread blocked in getchar
// holds standard input's stream lock, which the exit's flush of every
// stream then waits for (until Enter, or for ever on an open pipe). A
// thread blocked in ReadFile holds no lock of the process and ends with it.
//
// Ctrl+C and Ctrl+Break end a console read that is under way (with
// processed input, the console's default): as a success with 0 bytes since
// Windows 8, with ERROR_OPERATION_ABORTED before; Ctrl+Z then Enter also
// reads 0 bytes. The control handler runs on a thread of its own at the
// same moment, so such an end waits a moment for it: a caller that ends the
// program on this end of input then ends it as the interrupt does,
// whichever of the two came first.
int ConsoleReadByte(int* byte) {
  if (!byte) return ErrorCode(Failure::kInvalid);
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  unsigned char c = 0;
  DWORD got = 0;
  *byte = -1;
  const BOOL ok = ReadFile(in, &c, 1, &got, nullptr);
  const DWORD err = ok ? NO_ERROR : GetLastError();
  if (ok && got == 1) {
    *byte = c;
    return 0;
  }
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console && (err == NO_ERROR || err == ERROR_OPERATION_ABORTED)) {
    if (g_interrupt_event) WaitForSingleObject(g_interrupt_event, kCtrlCReadGraceMs);
    return 0;
  }
  // The end of a file, or of a pipe whose writer has gone.
  if (err == NO_ERROR || err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return 0;
  return int(err);
}

int InterruptWatch(InterruptRoutine routine) {
  if (!routine) return ErrorCode(Failure::kInvalid);
  g_routine.store(routine);
  if (!g_interrupt_event) {
    g_interrupt_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_exit_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_interrupt_event || !g_exit_event) return int(GetLastError());
    const HANDLE thread = CreateThread(nullptr, 0, InterruptThread, nullptr, 0, nullptr);
    if (!thread) return int(GetLastError());
    CloseHandle(thread);
  }
  // A process started with Ctrl+C ignored (a console process group of its
  // own, or a parent that ignored it) keeps ignoring it: Windows then calls
  // no handler for Ctrl+C at all.
  if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return int(GetLastError());
  return 0;
}

// A second Ctrl+C ends at once from the handler, as before: Windows gives a
// closing window's handler only a few seconds, which the first request's
// clean-up already uses (InterruptLeavesLittleTime).
int InterruptHoldUrgent(InterruptRoutine routine) {
  return routine ? 0 : ErrorCode(Failure::kInvalid);
}

int InterruptUrgentReceived() { return 0; }

bool InterruptLeavesLittleTime() { return g_closing.load(); }

void ConsoleDiscardInput() {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode))
    FlushConsoleInputBuffer(in);
}

// The process's end closes the port's handle, and that releases the hold.
void InterruptGuardPort(SerialPort*) {}

bool InterruptReceived() { return g_interrupts.load() > 0; }

// The console delivers its events to every process attached to it, so the
// kind is only ever asked whether it is there.
int InterruptKind() { return InterruptReceived() ? 1 : 0; }

int InterruptUrgentKind(int kind) { return kind; }

void InterruptExit() {
  if (!InterruptReceived()) return;
  if (g_exit_event) SetEvent(g_exit_event);
  EndLikeCtrlC();
}

}  // namespace platform
