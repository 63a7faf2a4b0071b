// Faults that only the long reply timers end: no answer to "VPL\r" (60 s)
// and no "FIN" after the image (30 s), and a unit that stops taking the
// image (the write gives up after 30 s without progress). The cases of a
// test run at the same time, so each test lasts about one timer.
#include <gtest/gtest.h>

#include "tests/reliability/fault_runner.h"
#include "tests/reliability/harness.h"

namespace reliability {
namespace {

TEST(UnitFaultsBeforeTheFirstAnswer, EndAfterTheSixtySecondWait) {
  const std::string no_ack = "\nFlash inithalizing...\nError : No ACK. \nClose COM port.\n" + kNg;
  // A hang-up while the command drains fails its send at once.
  const std::string drain_failed = "\nError : Send Timeout. \nClose COM port.\n" + kNg;
  RunFaultCases({
      {"after open: hangs up on the first byte", {"--vanish-at", "OPEN"},
       {no_ack, drain_failed}, false, 59.5, 80},
      {"VPL: hangs up on the command", {"--vanish-at", "VPL"}, {no_ack, drain_failed}, false,
       59.5, 80},
      {"VPL: silent", {"--silent", "VPL"}, {no_ack}, true, 59.5, 80},
      {"after open: floods instead of any answer", {"--flood", "OPEN=6000", "--silent", "VPL"},
       {no_ack}, true, 59.5, 80},
      {"VPL: floods instead of its ACK", {"--flood", "VPL=6000", "--silent", "VPL"}, {no_ack},
       true, 59.5, 80},
  });
}

TEST(UnitFaultsAfterTheImage, EndAfterTheThirtySecondWaits) {
  const std::string no_fin = kUpToFinReply + "\nError : Data Size Error. \nClose COM port.\n" + kNg;
  const std::string stalled = kUpToImage + "\nError : Send Timeout. \nend. \n"
                                           "Changing baudrate (DOWN)...end. \n";
  RunFaultCases({
      {"FIN: hangs up when the image is in",
       {"--vanish-at", "FIN"},
       {no_fin, kUpToImage + "\nError : Send Timeout. \nend. \nChanging baudrate (DOWN)...end. \n"
                             "\nError : Send Error.  (code:5)\nClose COM port.\n" + kNg},
       false, 29.5, 50},
      {"FIN: silent", {"--silent", "FIN"}, {no_fin}, true, 29.5, 50},
      {"FIN: floods instead of its answer", {"--flood", "FIN=6000", "--silent", "FIN"}, {no_fin},
       true, 29.5, 50},
      // The unit stops reading for good: the write gives up, and the end
      // command either goes into the line's buffer unanswered or stalls too.
      {"image: stops taking bytes",
       {"--stall-after", "100000"},
       {stalled + "end. \nWaiting for the end...\nError : No ACK. \nClose COM port.\n" + kNg,
        stalled + "\nError : Send Timeout. \nClose COM port.\n" + kNg},
       false, 29.5, 80},
  });
}

}  // namespace
}  // namespace reliability
