// The progress line: while the image goes out, one line on standard error
// shows how much of it the port has taken (percent, bytes of the total,
// bytes per second, time left), redrawn in place at most 10 times a second
// and cut to the terminal's width.
//
// The writing thread only publishes the count; a thread of the line's own
// draws it, so a console that blocks (a stopped terminal, a selection in a
// console window) never holds up the wire.
//
// Only a terminal that takes redraw sequences gets it: anywhere else nothing
// at all is written to standard error. With TONECAST_PROGRESS=plain in the
// environment, plain "progress TAKEN TOTAL" lines go there instead (at most
// 10 a second, the last count always), for a program that runs tonecast.
// Standard output and the run log never see either.
#pragma once

#include <cstddef>

namespace tonecast {

// Starts the line for a write of total bytes. column is where the cursor
// stands on standard output's line when the write begins: when standard
// output is the same terminal, the text before it ("Download file#0...")
// stays and the progress is drawn after it; otherwise the line starts at
// column 0.
void ProgressBegin(std::size_t total, int column);
// The count taken so far (the serial write's progress callback; context is
// unused). Only stores it: never waits, never writes.
void ProgressUpdate(std::size_t taken, void* context);
// Ends the line: stops the drawing thread (waiting for a drawing under way),
// then erases what is shown (a carriage return, back to the column, erase
// to the end of the screen), or prints the last plain count. Any thread; call
// before any further console text. Later updates draw nothing until the
// next ProgressBegin. Once an interrupt has been received, a drawing that
// the console holds is waited for a fraction of a second at most: the
// drawing thread is then left to end when the console lets it, and nothing
// is erased or printed.
void ProgressErase();

}  // namespace tonecast
