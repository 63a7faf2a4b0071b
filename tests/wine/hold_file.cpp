// A Windows program that holds a file open the way a spreadsheet does: for
// reading, sharing only reading, so that no other program can write it.
// Prints "held" once the file is open, and lets go when a file of the same
// name with ".release" after it appears (or after two minutes).
//
//   hold_file.exe tonecast-logs\report.csv
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_file FILE\n", stderr);
    return 2;
  }
  const HANDLE h = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open (code:%lu)\n", GetLastError());
    return 1;
  }
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  const std::wstring release = std::wstring(argv[1]) + L".release";
  for (int i = 0; i < 2400; ++i) {
    if (GetFileAttributesW(release.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(50);
  }
  CloseHandle(h);
  return 0;
}
