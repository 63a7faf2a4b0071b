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

struct SimOptions {
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

std::string UsageText();
