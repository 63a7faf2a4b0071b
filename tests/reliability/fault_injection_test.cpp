// A unit that vanishes, goes silent or floods the line at each phase of the
// dialogue, where the dialogue's short timers (5 s) or the write itself end
// the wait. Every run must end by itself with the verdict of the dialogue
// rules, exit status 1, little CPU, a whole run log and a free port.
#include <gtest/gtest.h>

#include "tests/reliability/fault_runner.h"
#include "tests/reliability/harness.h"

namespace reliability {
namespace {

const std::string kSendError = "\nError : Send Error.  (code:5)\n";
const std::string kDrainFailed = "\nError : Send Timeout. \n";

TEST(UnitFaultsAfterOpenAndVpl, FloodsAndAHangUpAfterTheAnswer) {
  RunFaultCases({
      {"after open: floods before anything else", {"--flood", "OPEN=6000"},
       {kGoodDialogue + kComplete}},
      {"VPL: floods before its ACK", {"--flood", "VPL=6000", "--dirty"},
       {kGoodDialogue + kComplete}},
      // The hang-up races the announcement: it goes out before (no answer
      // comes) or meets a line already gone.
      {"VPL: hangs up after its ACK",
       {"--vanish-after-answer", "VPL"},
       {kUpToVpdReply + "\nError : No ACK. \n" + kSendError + "Close COM port.\n" + kNg,
        "\nFlash inithalizing...end. \n" + kSendError + kSendError + "Close COM port.\n" + kNg},
       false, 0, 20},
  });
}

TEST(UnitFaultsAtVpd, VanishesFallsSilentOrFloods) {
  const std::string no_ack_then_end =
      kUpToVpdReply + "\nError : No ACK. \nend. \nWaiting for the end...OK...Close COM port.\n" + kNg;
  RunFaultCases({
      // A hang-up while the command drains fails its send.
      {"VPD: hangs up on the command",
       {"--vanish-at", "VPD"},
       {kUpToVpdReply + "\nError : No ACK. \n" + kSendError + "Close COM port.\n" + kNg,
        "\nFlash inithalizing...end. \n" + kDrainFailed + kSendError + "Close COM port.\n" + kNg},
       false, 4.5, 20},
      {"VPD: silent", {"--silent", "VPD"}, {no_ack_then_end}, true, 4.5, 20},
      {"VPD: floods before its ACK", {"--flood", "VPD=6000"}, {kGoodDialogue + kComplete}},
      {"VPD: floods instead of its ACK", {"--flood", "VPD=6000", "--silent", "VPD"},
       {no_ack_then_end}, true, 4.5, 20},
      {"VPD: hangs up after its ACK",
       {"--vanish-after-answer", "VPD"},
       {kUpToImage + kSendError + "end. \nChanging baudrate (DOWN)...end. \n" + kSendError +
        "Close COM port.\n" + kNg},
       false},
  });
}

TEST(UnitFaultsDuringTheImage, HangsUpOrFloodsWhileTheImageArrives) {
  const std::string cut_short = kUpToImage +
                                "\nError : Send Timeout. \nend. \n"
                                "Changing baudrate (DOWN)...end. \n" +
                                kSendError + "Close COM port.\n" + kNg;
  RunFaultCases({
      {"image: hangs up after 100000 bytes", {"--vanish-after", "100000"}, {cut_short}, false},
      {"image: hangs up half-way", {"--vanish-at", "IMAGE"}, {cut_short}, false},
      {"image: floods half-way", {"--flood", "IMAGE=60000"}, {kGoodDialogue + kComplete}},
  });
}

TEST(UnitFaultsAtFin, FloodsOrHangsUpAfterItsAnswer) {
  RunFaultCases({
      {"FIN: floods before its answer", {"--flood", "FIN=6000"}, {kGoodDialogue + kComplete}},
      {"FIN: hangs up after FIN OK",
       {"--vanish-after-answer", "FIN"},
       {kUpToFinReply + "end. \nChanging baudrate (DOWN)...end. \n" + kSendError +
        "Close COM port.\n" + kNg},
       false},
  });
}

TEST(UnitFaultsAtVpe, VanishesFallsSilentOrFloods) {
  const std::string no_ack = kUpToEndReply + "\nError : No ACK. \nClose COM port.\n" + kNg;
  RunFaultCases({
      {"VPE: hangs up on the command",
       {"--vanish-at", "VPE"},
       {no_ack, kUpToFinReply + "end. \nChanging baudrate (DOWN)...end. \n" + kDrainFailed +
                    "Close COM port.\n" + kNg},
       false, 4.5, 20},
      {"VPE: silent", {"--silent", "VPE"}, {no_ack}, true, 4.5, 20},
      {"VPE: floods before its ACK", {"--flood", "VPE=6000"}, {kGoodDialogue + kComplete}},
      {"VPE: floods instead of its ACK", {"--flood", "VPE=6000", "--silent", "VPE"}, {no_ack},
       true, 4.5, 20},
      // Gone after the last answer: the port is closed after the final
      // wait, and nothing went wrong.
      {"VPE: hangs up after its ACK", {"--vanish-after-answer", "VPE"},
       {kGoodDialogue + kComplete}, false, 4.5, 20, false},
  });
}

}  // namespace
}  // namespace reliability
