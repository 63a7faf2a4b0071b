// One faulty unit per case, all cases of a group at once: tonecast runs
// against the unit, must end by itself with the verdict that the dialogue
// gives, leave a whole run log, and release the port so that a second run
// right after it completes.
#pragma once

#include <string>
#include <vector>

namespace reliability {

struct FaultCase {
  std::string name;                // phase and fault, for the failure messages
  std::vector<std::string> flags;  // the unit's misbehaviour
  // Console text after the file's status line. A few faults race the
  // program (a hang-up while the last bytes of a command drain, or right
  // after an answer): each text that the dialogue can give is listed.
  std::vector<std::string> tails;
  // The unit keeps its line: the second run goes to the same line (the unit
  // behaves from its second session on); otherwise to a fresh unit.
  bool line_survives = true;
  double min_s = 0;   // the reply timer behind "No ACK" or "Data Size Error"
  double max_s = 20;  // and the most they allow, with a margin
  bool trailing_line = true;  // the unit sends a line after its last ACK
};

// Runs every case at the same time and checks each one.
void RunFaultCases(const std::vector<FaultCase>& cases);

// Dialogue texts up to the point where the cases part.
extern const std::string kUpToVpdReply;    // ...Prepare downloading...
extern const std::string kUpToImage;       // ...\nDownload file#0...
extern const std::string kUpToFinReply;    // ...Now waiting FIN...
extern const std::string kUpToEndReply;    // ...Waiting for the end...

}  // namespace reliability
