// The line settings and time-outs that the Windows backend writes, checked
// here without Windows: a unit that is set up wrongly (flow control on, NUL
// bytes dropped, parity checked, DTR down) fails on real hardware only.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/comm_config.h"

namespace {

using platform::win32::BuildDcb;

TEST(WindowsCommConfig, TheProgramsLineIsRawWithDtrOnAndRtsOff) {
  platform::LineSettings s;  // 19200 8N1, no flow control
  const auto d = BuildDcb(s, /*dtr=*/true, /*rts=*/false);
  EXPECT_EQ(d.baud_rate, 19200u);
  EXPECT_EQ(d.byte_size, 8);
  EXPECT_EQ(d.parity, 0);
  EXPECT_EQ(d.stop_bits, 0);
  // fBinary, fDtrControl = ENABLE and fTXContinueOnXoff set; every other
  // flag from fParity to fAbortOnError clear.
  EXPECT_TRUE(d.binary && d.tx_continue_on_xoff);
  EXPECT_EQ(d.dtr_control, 1);
  EXPECT_EQ(d.rts_control, 0);
  EXPECT_FALSE(d.check_parity || d.cts_out || d.dsr_out || d.dsr_sensitivity ||
               d.xon_xoff_out || d.xon_xoff_in || d.error_char || d.discard_nul ||
               d.abort_on_error);
  // Written even with XON/XOFF off: SetCommState refuses equal characters,
  // and drivers refuse limits beyond their input buffer.
  EXPECT_EQ(d.xon_char, 0x11);
  EXPECT_EQ(d.xoff_char, 0x13);
  EXPECT_GT(d.xoff_lim, 0);
  EXPECT_LE(d.xon_lim + d.xoff_lim, platform::win32::kQueueBytes);

  s.baud = 115200;
  s.parity = 'E';
  s.stop_bits = 2;
  s.rts_cts = true;
  s.xon_xoff = true;
  const auto f = BuildDcb(s, /*dtr=*/false, /*rts=*/false);
  EXPECT_EQ(f.baud_rate, 115200u);
  EXPECT_EQ(f.parity, 2);
  EXPECT_EQ(f.stop_bits, 2);
  // Parity checked, CTS holds output, RTS as handshake, XON/XOFF both ways.
  EXPECT_TRUE(f.check_parity && f.cts_out && f.xon_xoff_out && f.xon_xoff_in);
  EXPECT_EQ(f.dtr_control, 0);
  EXPECT_EQ(f.rts_control, 2);
}

TEST(WindowsCommConfig, ReadsReturnWhatHasArrivedAndWritesHaveNoLimit) {
  const auto t = platform::win32::BuildTimeouts();
  EXPECT_EQ(t.read_interval, 0xFFFFFFFFu);
  EXPECT_EQ(t.read_total_multiplier, 0xFFFFFFFFu);
  // Between 0 (which would make a read return at once, so the wait spins)
  // and MAXDWORD (which Windows reads as "no time-out" in this mode).
  EXPECT_GT(t.read_total_constant, 0u);
  EXPECT_LT(t.read_total_constant, 0xFFFFFFFFu);
  EXPECT_EQ(t.write_total_multiplier, 0u);
  EXPECT_EQ(t.write_total_constant, 0u);
}

TEST(WindowsCommConfig, ComNamesBecomeDevicePathsThatReachComTenAndUp) {
  char path[16];
  ASSERT_TRUE(platform::win32::DevicePath("COM3", path, sizeof path));
  EXPECT_EQ(std::string(path), "\\\\.\\COM3");
  ASSERT_TRUE(platform::win32::DevicePath("COM12", path, sizeof path));
  EXPECT_EQ(std::string(path), "\\\\.\\COM12");
  for (const char* other : {"COM", "COMX", "COM-1", "\\\\.\\COM4", "CNCA0"}) {
    ASSERT_TRUE(platform::win32::DevicePath(other, path, sizeof path));
    EXPECT_EQ(std::string(path), other);
  }
  EXPECT_FALSE(platform::win32::DevicePath("COM123456789", path, 8));  // no overflow
  EXPECT_TRUE(platform::win32::IsStandardBaud(115200));
  EXPECT_FALSE(platform::win32::IsStandardBaud(12345));
}

TEST(WindowsCommConfig, SpeedsReadBackWithinThreePercentCountAsSet) {
  using platform::win32::BaudMatches;
  EXPECT_TRUE(BaudMatches(115200, 115200));
  EXPECT_TRUE(BaudMatches(115200, 115384));  // a divisor's real rate
  EXPECT_TRUE(BaudMatches(19200, 19200 * 97 / 100));
  EXPECT_FALSE(BaudMatches(115200, 57600));
  EXPECT_FALSE(BaudMatches(19200, 19200 * 104 / 100));
  EXPECT_FALSE(BaudMatches(0, 0));
  // 8N1 is 10 bits a byte: an 8 Mbit image takes 23.5 s at 115200 baud.
  platform::LineSettings s;
  s.baud = 115200;
  EXPECT_EQ(platform::win32::LineTimeMs(270600, s), 23490u);
}

// The driver's own XON/XOFF limits stand where they fit its input buffer; a
// driver with a small buffer never sees limits past it.
TEST(WindowsCommConfig, TheDriversOwnFlowLimitsStandWhereTheyFitItsBuffer) {
  using platform::win32::ChooseFlowLimits;
  using platform::win32::FlowLimits;
  struct Case {
    const char* what;
    FlowLimits driver;
    std::uint32_t rx_queue;
    bool refused;
    FlowLimits chosen;
  };
  const Case cases[] = {
      {"the driver's within its 4096-byte buffer", {2048, 512}, 4096, false, {2048, 512}},
      {"XON's level at XOFF's", {64, 64}, 128, false, {64, 32}},
      {"past a 128-byte buffer", {512, 256}, 128, false, {64, 32}},
      {"XoffLim 0", {2048, 0}, 4096, false, {2048, 1024}},
      {"both 0, buffer unknown", {0, 0}, 0, false, {512, 256}},
      {"refused by SetCommState", {2048, 512}, 4096, true, {2048, 1024}},
      {"a buffer past a WORD", {0, 0}, 1u << 20, false, {32767, 16383}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const FlowLimits l = ChooseFlowLimits(c.driver, c.rx_queue, c.refused);
    EXPECT_EQ(l.xon_lim, c.chosen.xon_lim);
    EXPECT_EQ(l.xoff_lim, c.chosen.xoff_lim);
    EXPECT_TRUE(platform::win32::FlowLimitsFit(l, c.rx_queue));
  }
}

}  // namespace
