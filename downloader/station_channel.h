// Lines for a program that runs tonecast and must know how each run went
// (the station): with TONECAST_PROGRESS=plain in the environment, beside
// the progress lines on standard error,
//   "version <the project's version>"  once, at the start
//   "step <text>"                      as each step of the dialogue begins,
//                                      in the words the console shows
//   "error <text>"                     each reported error, its console text
//   "time <milliseconds>"              the run's own length so far, from the
//                                      start, just before the verdict
//   "verdict complete" / "verdict NG"  just before the verdict line
// each line written with one call, so that lines of the two threads never
// mix. Without that variable nothing is written, and the console, the run
// log and the exit status are the same either way.
#pragma once

namespace tonecast {

// Also marks the start of the run, for the time line.
void StationVersion();
void StationStep(const char* text);
void StationError(const char* text);
void StationVerdict(bool complete);

}  // namespace tonecast
