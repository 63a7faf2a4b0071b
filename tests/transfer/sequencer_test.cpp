// The transfer state machine driven message by message, with a fake timer,
// a fake port and a fake worker: every path of the dialogue, what it prints,
// what it sends, which timer it arms and which error it counts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "downloader/errors.h"
#include "downloader/messages.h"
#include "downloader/run_state.h"
#include "downloader/sequencer.h"
#include "downloader/vp_file.h"
#include "tests/support/process.h"
#include "tools/vpimage/vp_builder.h"

using namespace tonecast;

namespace {

struct Post {
  std::uint32_t kind;
  std::uint32_t wparam;
};

// What the fake services saw.
struct Fake {
  std::vector<std::string> sent;
  std::vector<Post> posts;
  std::vector<std::uint32_t> armed;      // periods, in order
  std::vector<std::uint32_t> cancelled;  // ids
  std::vector<std::uint32_t> pauses;
  int stops = 0;
  std::uint32_t next_timer = 100;
  int fail_send_call = -1;  // index of the send call that fails (-1: none)
  int cancel_send_call = -1;  // index of the send call that an interrupt cuts short
  int short_send_call = -1;
  bool fail_post = false;
  bool fail_arm = false;
  std::uint32_t live_timer = 0;  // the timer that is armed and not cancelled
} g;

std::int32_t FakeSend(const void* buffer, std::uint32_t size) {
  const int call = static_cast<int>(g.sent.size());
  g.sent.emplace_back(static_cast<const char*>(buffer), size);
  if (call == g.fail_send_call) {
    ReportErrorCode(ERR_SEND, 5);
    return 5;
  }
  if (call == g.cancel_send_call) return platform::ErrorCode(platform::Failure::kCancelled);
  return 0;
}
void FakeStop() { ++g.stops; }
int FakePost(platform::ThreadId, std::uint32_t kind, std::uint32_t wparam, std::uintptr_t) {
  if (g.fail_post) return 3;
  g.posts.push_back({kind, wparam});
  return 0;
}
std::uint32_t FakeArm(std::uint32_t ms) {
  if (g.fail_arm) return 0;
  g.armed.push_back(ms);
  g.live_timer = ++g.next_timer;
  return g.live_timer;
}
void FakeCancel(std::uint32_t id) {
  g.cancelled.push_back(id);
  if (id == g.live_timer) g.live_timer = 0;
}
void FakePause(std::uint32_t ms) { g.pauses.push_back(ms); }

class Sequencer : public ::testing::Test {
 protected:
  void SetUp() override {
    g = Fake{};
    InitRunState();
    InitTransfer();
    g_error_count = 0;
    SetTransferServices(
        TransferServices{FakeSend, FakeStop, FakePost, FakeArm, FakeCancel, FakePause});
    ::testing::internal::CaptureStdout();
    capturing_ = true;
  }
  void TearDown() override {
    Output();
    SetTransferServices(DefaultTransferServices());
    delete[] g_loaded_data;
    g_loaded_data = nullptr;
  }

  // Registers a valid image of the given flash size as the run's data file.
  void UseImage(int flash, const char* option = "") {
    image_ = BuildVpImage(flash, 7);
    path_ = dir_.file("image.vp");
    testsupport::WriteFile(path_, image_);
    std::snprintf(g_data_files[0].name, kNameSize, "%s", path_.c_str());
    g_data_files[0].size = static_cast<std::uint32_t>(image_.size());
    g_data_files[0].valid = 1;
    std::snprintf(g_option_text, kNameSize, "%s", option);
  }

  // Console output since SetUp (stops capturing).
  std::string Output() {
    if (capturing_) {
      output_ = ::testing::internal::GetCapturedStdout();
      capturing_ = false;
    }
    return output_;
  }

  int Line(const char* text) {
    char* copy = new char[std::strlen(text) + 1];
    std::strcpy(copy, text);
    return DispatchTransferMessage(UM_LINE, static_cast<std::uint32_t>(std::strlen(text)),
                                   reinterpret_cast<std::uintptr_t>(copy));
  }
  int Result(std::uint32_t kind, std::uint32_t code = 0) {
    return DispatchTransferMessage(kind, code, 0);
  }
  int Timeout() { return DispatchTransferMessage(UM_TIMEOUT, g.live_timer, 0); }

  // Drives a run up to the state given, on the happy path.
  void RunTo(int state) {
    ASSERT_EQ(StartTransfer(), 0);
    if (state == ST_OPENING) return;
    Result(UM_OPEN);
    if (state == ST_INITIALIZING) return;
    Line("ACK");
    if (state == ST_PREPARING) return;
    Line("ACK");
    if (state == ST_SPEED_UP) return;
    Result(UM_BAUD);
    if (state == ST_WAIT_FIN) return;
    Line("FIN OK");
    if (state == ST_SPEED_DOWN) return;
    Result(UM_BAUD);
    if (state == ST_ENDING) return;
    Line("ACK");
  }

  testsupport::TempDir dir_;
  std::vector<std::uint8_t> image_;
  std::string path_;
  bool capturing_ = false;
  std::string output_;
};

const char* const kHappyOutput =
    "\nFlash inithalizing..."
    "end. \n"
    "Prepare downloading..."
    "end. \n"
    "Changing baudrate (UP)..."
    "end. \n"
    "\nDownload file#0..."
    "end. \nNow waiting FIN..."
    "end. \n"
    "Changing baudrate (DOWN)..."
    "end. \n"
    "end. \nWaiting for the end..."
    "OK..."
    "Close COM port.\n";

TEST_F(Sequencer, HappyPathSendsTheDialogueArmsEachTimerAndEndsIdle) {
  UseImage(8);
  g_com_port = 3;
  ASSERT_EQ(StartTransfer(), 0);
  EXPECT_EQ(g_transfer_state, ST_OPENING);
  ASSERT_EQ(g.posts.size(), 1u);
  EXPECT_EQ(g.posts[0].kind, UM_OPEN);
  EXPECT_EQ(g.posts[0].wparam, 3u);

  EXPECT_EQ(Result(UM_OPEN, 0), 0);
  EXPECT_EQ(g_transfer_state, ST_INITIALIZING);
  EXPECT_EQ(Line("ACK"), 0);
  EXPECT_EQ(g_transfer_state, ST_PREPARING);
  EXPECT_EQ(Line("ACK"), 0);
  EXPECT_EQ(g_transfer_state, ST_SPEED_UP);
  EXPECT_EQ(Result(UM_BAUD), 0);
  EXPECT_EQ(g_transfer_state, ST_WAIT_FIN);
  EXPECT_EQ(g_loaded_data, nullptr);  // released after the write
  EXPECT_EQ(Line("FIN OK"), 0);
  EXPECT_EQ(g_transfer_state, ST_SPEED_DOWN);
  EXPECT_EQ(Result(UM_BAUD), 0);
  EXPECT_EQ(g_transfer_state, ST_ENDING);
  EXPECT_EQ(Line("ACK"), 0);
  EXPECT_EQ(g_transfer_state, ST_ENDED);
  EXPECT_EQ(Timeout(), 0);
  EXPECT_EQ(g_transfer_state, ST_CLOSING);
  EXPECT_EQ(Result(UM_CLOSE), 1);
  EXPECT_EQ(g_transfer_state, ST_IDLE);

  EXPECT_EQ(Output(), kHappyOutput);
  EXPECT_EQ(g_error_count.load(), 0);
  ASSERT_EQ(g.sent.size(), 4u);
  EXPECT_EQ(g.sent[0], "VPL\r");
  EXPECT_EQ(g.sent[1], "VPD 0 42108 8 \r");
  EXPECT_EQ(g.sent[2], std::string(image_.begin(), image_.end()));
  EXPECT_EQ(g.sent[3], "VPE\r");
  const std::vector<std::uint32_t> armed = {5000, 60000, 5000, 5000, 30000, 5000, 5000, 5000, 5000};
  EXPECT_EQ(g.armed, armed);
  EXPECT_EQ(g.cancelled.size(), 9u);  // every dispatch cancelled the armed timer
  EXPECT_EQ(g.live_timer, 0u);
  EXPECT_EQ(g.pauses, (std::vector<std::uint32_t>{500, 500}));
  ASSERT_EQ(g.posts.size(), 4u);
  EXPECT_EQ(g.posts[1].kind, UM_BAUD);
  EXPECT_EQ(g.posts[1].wparam, 115200u);
  EXPECT_EQ(g.posts[2].kind, UM_BAUD);
  EXPECT_EQ(g.posts[2].wparam, 19200u);
  EXPECT_EQ(g.posts[3].kind, UM_CLOSE);
  EXPECT_EQ(g.stops, 3);  // before each speed change and before the close
}

TEST_F(Sequencer, FlashFieldComesFromTheLastOptionAndSixteenMegabitReads10) {
  UseImage(16, "-16M");
  RunTo(ST_PREPARING);
  EXPECT_EQ(g.sent.at(1), "VPD 0 e7210 10 \r");
  TearDown();
  SetUp();
  UseImage(8, "-16M");  // examined as 8 Mbit before the option was read
  RunTo(ST_PREPARING);
  EXPECT_EQ(g.sent.at(1), "VPD 0 42108 10 \r");
}

TEST_F(Sequencer, RunWithoutADataFileSendsTheEndCommandAfterTheInitReply) {
  RunTo(ST_INITIALIZING);
  Line("ACK");
  EXPECT_EQ(g_transfer_state, ST_ENDING);
  Line("ACK");
  Line("bye");  // any line after "OK..." closes at once
  EXPECT_EQ(g_transfer_state, ST_CLOSING);
  EXPECT_EQ(Result(UM_CLOSE), 1);
  EXPECT_EQ(Output(),
            "\nFlash inithalizing...end. \nend. \nWaiting for the end...OK...Close COM port.\n");
  EXPECT_EQ(g.sent, (std::vector<std::string>{"VPL\r", "VPE\r"}));
  EXPECT_EQ(g_error_count.load(), 0);
}

TEST_F(Sequencer, RepliesAreRecognisedByTheirBeginning) {
  UseImage(8);
  RunTo(ST_INITIALIZING);
  Line("AC");  // too short: unrelated, the 60 s wait starts again
  EXPECT_EQ(g_transfer_state, ST_INITIALIZING);
  EXPECT_EQ(g.armed.back(), 60000u);
  Line("hello");
  EXPECT_EQ(g_transfer_state, ST_INITIALIZING);
  Line("ACKNOWLEDGED");
  EXPECT_EQ(g_transfer_state, ST_PREPARING);
  Line("ACK");
  Result(UM_BAUD);
  Line("FIN");  // unrelated: the 30 s wait starts again
  EXPECT_EQ(g_transfer_state, ST_WAIT_FIN);
  EXPECT_EQ(g.armed.back(), 30000u);
  Line("FIN OKAY");
  EXPECT_EQ(g_transfer_state, ST_SPEED_DOWN);
  EXPECT_EQ(g_error_count.load(), 0);
}

TEST_F(Sequencer, AnUnexpectedMessageEndsThePendingWaitWithoutArmingAnother) {
  UseImage(8);
  RunTo(ST_SPEED_UP);
  const std::size_t armed = g.armed.size();
  Line("late line");
  EXPECT_EQ(g_transfer_state, ST_SPEED_UP);
  EXPECT_EQ(g.live_timer, 0u);
  EXPECT_EQ(g.armed.size(), armed);
  Result(UM_BAUD);  // the speed result still moves the transfer on
  EXPECT_EQ(g_transfer_state, ST_WAIT_FIN);
}

// One row of the failure table: how the run gets there, what must be
// reported and where the machine goes next.
struct FailureCase {
  const char* name;
  void (*drive)(Sequencer*);
  int state_after;
  int errors;
  const char* console_has;
  const char* last_sent;  // nullptr: not checked
};

}  // namespace

// The cases need the fixture's helpers; a friend-free way is a derived
// fixture with access to its protected members.
class SequencerFailure : public Sequencer {
 public:
  using Sequencer::Line;
  using Sequencer::Result;
  using Sequencer::RunTo;
  using Sequencer::Timeout;
  using Sequencer::UseImage;
};

namespace {

TEST_F(SequencerFailure, EveryFailureIsReportedAndLeadsWhereItShould) {
  const FailureCase cases[] = {
      {"open fails",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         g_com_port = 7;
         f->RunTo(ST_OPENING);
         f->Result(UM_OPEN, 2);
       },
       ST_IDLE, 1, "\nError : Cannot open COM7. (code:2)\n", nullptr},
      {"no open result",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_OPENING);
         f->Timeout();
       },
       ST_IDLE, 1, "\nError : OPEN:RS-232C Thread Locked!!!\n", nullptr},
      {"VPL cannot be sent",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         g.fail_send_call = 0;
         f->RunTo(ST_INITIALIZING);
       },
       ST_CLOSING, 1, "Send Error.  (code:5)\nClose COM port.\n", "VPL\r"},
      {"NAK to VPL",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_INITIALIZING);
         f->Line("NAK");
       },
       ST_ENDING, 1, "\nError : Initialization failure. \nend. \nWaiting for the end...",
       "VPE\r"},
      {"no reply to VPL",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_INITIALIZING);
         f->Timeout();
       },
       ST_CLOSING, 1, "\nError : No ACK. \nClose COM port.\n", "VPL\r"},
      {"file cannot be loaded again",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_INITIALIZING);
         unlink(g_data_files[0].name);
         f->Line("ACK");
       },
       ST_ENDING, 1, "\nError : File not found. \nend. \nWaiting for the end...", "VPE\r"},
      {"VPD cannot be sent",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         g.fail_send_call = 1;
         f->RunTo(ST_PREPARING);
       },
       ST_ENDING, 1, "Send Error.  (code:5)\nend. \nWaiting for the end...", "VPE\r"},
      {"NAK to VPD",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_PREPARING);
         f->Line("NAK");
       },
       ST_ENDING, 1, "\nError : Download command failure. \nend. \nWaiting for the end...",
       "VPE\r"},
      {"no reply to VPD",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_PREPARING);
         f->Timeout();
       },
       ST_ENDING, 1, "\nError : No ACK. \nend. \nWaiting for the end...", "VPE\r"},
      {"no speed result",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_SPEED_UP);
         f->Timeout();
       },
       ST_CLOSING, 1, "\nError : DOWN:RS-232C Thread Locked!!!\nClose COM port.\n", nullptr},
      {"image cannot be sent",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         g.fail_send_call = 2;
         f->RunTo(ST_WAIT_FIN);
         EXPECT_EQ(g_transfer_state, ST_SPEED_DOWN);
         f->Result(UM_BAUD);
       },
       ST_ENDING, 1, "Send Error.  (code:5)\nend. \nChanging baudrate (DOWN)...end. \nend. \n",
       "VPE\r"},
      {"FIN NG",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_WAIT_FIN);
         f->Line("FIN NG");
         f->Result(UM_BAUD);
         f->Line("ACK");
       },
       ST_ENDED, 1, "\nError : Check sum NG. \nend. \nChanging baudrate (DOWN)...", "VPE\r"},
      {"no FIN",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_WAIT_FIN);
         f->Timeout();
       },
       ST_CLOSING, 1, "\nError : Data Size Error. \nClose COM port.\n", nullptr},
      {"VPE cannot be sent",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         g.fail_send_call = 3;
         f->RunTo(ST_ENDING);
       },
       ST_CLOSING, 1, "Send Error.  (code:5)\nClose COM port.\n", "VPE\r"},
      {"NAK then ACK to VPE",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_ENDING);
         f->Line("NAK");
         EXPECT_EQ(g_transfer_state, ST_ENDING);
         f->Line("ACK");
       },
       ST_ENDED, 1, "\nError : ADM block invalid. \nOK...", nullptr},
      {"NAK then nothing to VPE",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_ENDING);
         f->Line("NAK");
         f->Timeout();
       },
       ST_CLOSING, 2, "\nError : ADM block invalid. \n\nError : No ACK. \nClose COM port.\n",
       nullptr},
      {"no close result",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_ENDED);
         f->Timeout();
         f->Timeout();
       },
       ST_IDLE, 1, "Close COM port.\n\nError : CLOSE:RS-232C Thread Locked!!!\n", nullptr},
      {"request cannot be posted",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_PREPARING);
         g.fail_post = true;
         f->Line("ACK");
       },
       ST_IDLE, 1, "\nError : An undefined error occurred. \n", nullptr},
      {"timer cannot be armed",
       [](Sequencer* s) {
         auto* f = static_cast<SequencerFailure*>(s);
         f->RunTo(ST_INITIALIZING);
         g.fail_arm = true;
         f->Line("ACK");
       },
       ST_IDLE, 1, "\nError : An undefined error occurred. \n", nullptr},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    UseImage(8);
    c.drive(this);
    EXPECT_EQ(g_transfer_state, c.state_after);
    EXPECT_EQ(g_error_count.load(), c.errors);
    EXPECT_NE(Output().find(c.console_has), std::string::npos) << Output();
    if (c.last_sent) {
      ASSERT_FALSE(g.sent.empty());
      EXPECT_EQ(g.sent.back(), c.last_sent);
    }
    EXPECT_EQ(g_loaded_data, nullptr) << "image buffer left behind";
  }
}

TEST_F(SequencerFailure, StartTransferFailuresAreReported) {
  g.fail_post = true;
  EXPECT_EQ(StartTransfer(), -2);
  EXPECT_EQ(g_error_count.load(), 1);
  g.fail_post = false;
  g.fail_arm = true;
  EXPECT_EQ(StartTransfer(), -3);
  EXPECT_EQ(g_error_count.load(), 2);
}

// An interrupt in every phase: counted once, nothing more sent to the unit,
// the port closed once no request to the worker is in flight, then idle.
TEST_F(Sequencer, InterruptInEveryPhaseClosesThePortWithoutFurtherDialogue) {
  struct Phase {
    int state;
    std::uint32_t awaited;  // the worker's result still due, 0 for none
    int cut_send;           // the send call that the interrupt cut short, -1 for none
  };
  // A cut send is the interrupt's first sign: it is reported and the port
  // closed at once, before the interrupt's own message arrives.
  for (const Phase& p : {Phase{ST_OPENING, UM_OPEN, -1}, Phase{ST_INITIALIZING, 0, -1},
                         Phase{ST_PREPARING, 0, -1}, Phase{ST_SPEED_UP, UM_BAUD, -1},
                         Phase{ST_WAIT_FIN, 0, 2}, Phase{ST_WAIT_FIN, 0, -1},
                         Phase{ST_SPEED_DOWN, UM_BAUD, -1}, Phase{ST_ENDING, 0, 3},
                         Phase{ST_ENDING, 0, -1}, Phase{ST_ENDED, 0, -1}}) {
    SCOPED_TRACE(::testing::Message() << "state " << p.state << " cut send " << p.cut_send);
    TearDown();
    SetUp();
    UseImage(8);
    g.cancel_send_call = p.cut_send;  // VPL, VPD, the image, VPE
    RunTo(p.state);
    const bool cut = p.cut_send >= 0;
    ASSERT_EQ(g_transfer_state, cut ? ST_CLOSING : p.state);
    const std::size_t sent = g.sent.size(), posts = g.posts.size() - (cut ? 1 : 0);
    EXPECT_EQ(Result(UM_INTERRUPT), 0);
    EXPECT_EQ(Line("ACK"), 0);  // the unit's lines no longer move the dialogue
    if (p.awaited != 0) {
      EXPECT_EQ(g.posts.size(), posts) << "close requested before the result";
      EXPECT_NE(g.live_timer, 0u) << "the wait for the result is unbounded";
      EXPECT_EQ(Result(p.awaited), 0);
    }
    ASSERT_EQ(g.posts.size(), posts + 1);
    EXPECT_EQ(g.posts.back().kind, UM_CLOSE);
    EXPECT_EQ(g_transfer_state, ST_CLOSING);
    EXPECT_EQ(Result(UM_CLOSE), 1);
    EXPECT_EQ(g.sent.size(), sent);
    EXPECT_EQ(g_error_count.load(), 1);
    EXPECT_EQ(g_loaded_data, nullptr);
    const std::string out = Output();
    EXPECT_NE(out.find("\nError : Interrupted.\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 16), "Close COM port.\n");
  }
}

}  // namespace
