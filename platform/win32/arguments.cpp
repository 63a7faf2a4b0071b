// The command line on Windows: the wide command line, parsed by
// CommandLineToArgvW and converted to UTF-8.
#include "platform/arguments.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include "platform/win32/console_restore.h"
#include "platform/win32/text.h"

namespace platform {
namespace {

// The console shows output bytes in its output code page. The programs'
// text is ASCII apart from names the user gave, which are UTF-8 now: the
// console takes them as UTF-8 for the run, and gets its own code page back
// at the end (console_restore.h). Only a console that a standard output
// writes to is changed; a pipe or a file takes the bytes as they are.
void ShowOutputAsUtf8() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
      !GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))
    return;
  if (GetConsoleOutputCP() == CP_UTF8) return;
  win32::RememberOutputCodePage();
  SetConsoleOutputCP(CP_UTF8);
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) args.push_back(win32::Utf8FromWide(wide[i]));
    LocalFree(wide);
  } else {
    // Out of memory: the C runtime's arguments are the best there is.
    for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
  }
  ShowOutputAsUtf8();
  return args;
}

}  // namespace platform
