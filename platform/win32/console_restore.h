// Console settings that this process changes and must give back: a console
// is shared with the shell that started the program (and any other program
// on it), so a mode or code page left changed would stay with them.
#pragma once

#include <windows.h>

namespace platform::win32 {

// Records a console handle's mode before the first change of it.
void RememberConsoleMode(HANDLE console);
// Records the console's output code page before the first change of it.
void RememberOutputCodePage();
// Puts back what was recorded, once. Runs at the process's normal end (an
// exit handler registered with the first record) and is called before an
// end that skips exit handlers. Any thread.
void RestoreConsole();

}  // namespace platform::win32
