// The progress line: while the image goes out, one line on standard error
// shows how much of it the port has taken (percent, bytes of the total,
// bytes per second, time left), redrawn in place at most 10 times a second.
//
// Only a terminal gets it: when standard error is anything else, nothing at
// all is written there. Standard output and the run log never see it.
#pragma once

#include <cstddef>

namespace tonecast {

// Starts the line for a write of total bytes. column is where the cursor
// stands on the console line when the write begins: the text before it
// ("Download file#0...") stays, and the progress is drawn after it, so that
// the line reads the same after the erase whether or not standard output
// shares the terminal.
void ProgressBegin(std::size_t total, int column);
// The count taken so far (the serial write's progress callback; context is
// unused). Draws when the last drawing is 100 ms old or more.
void ProgressUpdate(std::size_t taken, void* context);
// Erases the line if it is shown: a carriage return, back to the column,
// then erase to the end of the line. Any thread; call before any further
// console text. Ends the line: later updates draw nothing until the next
// ProgressBegin.
void ProgressErase();

}  // namespace tonecast
