// Settings of the simulated unit: which misbehaviour it shows, where it
// publishes its line, records its transcript and stores received images.
// Read from the command line and, with --scenario, from a small text file.
#pragma once

#include <string>
#include <vector>

// The points at which the unit answers: the three downloader commands, the
// end of an image, and a terminal command.
enum SimStep { kStepVpl, kStepVpd, kStepFin, kStepVpe, kStepTerm, kStepCount };

struct StepBehaviour {
  bool nak = false;           // answer "NAK" instead of "ACK"
  bool nak_then_ack = false;  // answer "NAK", then "ACK"
  bool silent = false;        // no answer at all (the command is not taken)
  int delay_ms = 0;           // pause before the answer
  int noise = 0;              // unrelated lines before the answer
};

// Points of a session at which the fault flags strike: the session's first
// byte (the program has just opened the line), each command on its arrival,
// the middle of the image, and the image's end before the FIN answer.
enum FaultPoint { kAtOpen, kAtVpl, kAtVpd, kAtImage, kAtFin, kAtVpe, kFaultPointCount };

struct FaultBehaviour {
  long flood = 0;                // random bytes sent at this point
  bool vanish = false;           // hang up at this point, before any answer
  bool vanish_answered = false;  // hang up once this point's answer is out
};

struct SimOptions {
  std::string device;      // serve on this tty device instead of a pseudo-terminal
  std::string link;        // publish the line path under this symlink
  std::string store;       // file that receives every image
  std::string transcript;  // transcript file
  StepBehaviour step[kStepCount];
  bool fin_ng = false;         // answer "FIN NG" to every image
  bool no_eot = false;         // terminal answers without the closing EOT
  bool dirty = false;          // CR and NUL inside every answer line
  bool trailing_line = false;  // one more line after the "ACK" to "VPE"
  bool pace = false;           // read at the real line rate
  bool any_speed = false;      // take commands at any line speed
  long overlong = 0;           // bytes without LF before every answer
  long vanish_after = -1;      // hang up after this many image bytes
  int image_timeout_ms = 5000; // abandon an image stalled this long (0: never)
  FaultBehaviour fault[kFaultPointCount];
  long stall_after = -1;       // stop reading the line after this many image bytes
  unsigned flood_seed = 1;     // seed of the flood bytes
  long faulty_sessions = 0;    // misbehave in this many sessions only (0: all)
};

// Parses arguments (without the program name) into *options. Returns 0, or
// 1 with *error set. --help sets *help and returns 0.
int ParseSimArgs(const std::vector<std::string>& args, SimOptions* options,
                 bool* help, std::string* error);

// Applies the settings of a scenario text (one setting a line, see
// UsageText()) to *options. Returns 0, or 1 with *error naming the line.
int ApplyScenario(const std::string& text, SimOptions* options, std::string* error);

// The names of the steps as the flags write them ("VPL", ..., "TERM").
const char* StepName(SimStep step);
// The names of the fault points ("OPEN", "VPL", "VPD", "IMAGE", "FIN", "VPE").
const char* FaultPointName(FaultPoint point);

std::string UsageText();
