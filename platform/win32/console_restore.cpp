#include "platform/win32/console_restore.h"

#include <cstdlib>
#include <mutex>

namespace platform::win32 {
namespace {

constexpr int kMaxModes = 3;  // one per standard handle

struct Saved {
  std::mutex mu;
  bool exit_handler = false;
  bool restored = false;
  int modes = 0;
  HANDLE handle[kMaxModes] = {};
  DWORD mode[kMaxModes] = {};
  UINT code_page = 0;  // 0: not changed
};

Saved& State() {
  static Saved* saved = new Saved;  // never destroyed: exit handlers use it
  return *saved;
}

void AtExit() { RestoreConsole(); }

// Caller holds the lock.
void EnsureExitHandler(Saved& s) {
  if (!s.exit_handler) s.exit_handler = std::atexit(AtExit) == 0;
}

}  // namespace

void RememberConsoleMode(HANDLE console) {
  Saved& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  for (int i = 0; i < s.modes; ++i)
    if (s.handle[i] == console) return;
  DWORD mode = 0;
  if (s.modes == kMaxModes || !GetConsoleMode(console, &mode)) return;
  s.handle[s.modes] = console;
  s.mode[s.modes] = mode;
  ++s.modes;
  EnsureExitHandler(s);
}

void RememberOutputCodePage() {
  Saved& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.code_page != 0) return;
  s.code_page = GetConsoleOutputCP();  // 0 without a console
  if (s.code_page != 0) EnsureExitHandler(s);
}

void RestoreConsole() {
  Saved& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.restored) return;
  s.restored = true;
  for (int i = s.modes - 1; i >= 0; --i) SetConsoleMode(s.handle[i], s.mode[i]);
  if (s.code_page != 0) SetConsoleOutputCP(s.code_page);
}

}  // namespace platform::win32
