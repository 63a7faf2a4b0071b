// The station's pure parts: reading tonecast's output however it is split,
// the progress lines, the report's CSV, the port plan, --list's table and
// the texts shown.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "station/board.h"
#include "station/port_listing.h"
#include "station/port_plan.h"
#include "station/report.h"
#include "station/screen_text.h"
#include "station/tonecast_output.h"
#include "vpformat/sha256.h"

namespace station {
namespace {

// The channel's lines, however the bytes are split: each kind, any other
// line kept whole (an overlong one cut), and what a run told.
TEST(ChannelReader, TakesTheStationLinesAndKeepsAnyOtherLine) {
  const std::string err =
      "version 0.5.0 (git abc1234)\nstep Flash inithalizing...\nprogress 0 270600\n"
      "progress 113664 270600\r\nwarning: something\nerror No ACK. \nerror Check sum NG. \n"
      "progress 9 8\nverdict maybe\nstep\ntime 12345\n" +
      std::string(600, 'z') + "\nverdict NG\nprogress 270600 270600";
  for (std::size_t piece : {std::size_t(1), std::size_t(5), err.size()}) {
    ChannelReader reader;
    std::vector<ChannelLine> lines;
    ChannelOutcome told;
    for (std::size_t i = 0; i < err.size(); i += piece)
      reader.Feed(err.data() + i, std::min(piece, err.size() - i), &lines);
    reader.Finish(&lines);
    std::string kinds;
    for (const ChannelLine& l : lines) {
      kinds += "PSEVWTO"[l.kind];
      told.Take(l);
    }
    // A count above its total, an unknown verdict, a word without its text
    // are other lines; an overlong line is cut into pieces.
    EXPECT_EQ(kinds, "WSPPOEEOOOTOOVP");
    EXPECT_EQ(lines[3].progress.taken, 113664u);
    EXPECT_EQ(lines[1].text, "Flash inithalizing...");
    EXPECT_EQ(lines[4].text, "warning: something");
    EXPECT_EQ(lines[11].text.size(), ChannelReader::kMaxLine);
    EXPECT_EQ(told.run_ms, 12345);
    EXPECT_TRUE(told.has_verdict);
    EXPECT_FALSE(told.complete);
    EXPECT_EQ(told.first_error, "No ACK. ");
    EXPECT_EQ(told.version, "0.5.0 (git abc1234)");
  }
}

// A verdict counts only with the end a run with a verdict has; any other
// end is "no verdict" with why.
TEST(JudgeRun, TheVerdictCountsOnlyWithItsEnd) {
  struct Case {
    bool verdict, complete;
    std::string error;
    ChildEnding end;
    Verdict want;
    std::string why;
  };
  auto exited = [](int code) {
    ChildEnding e;
    e.exited = true;
    e.exit_code = code;
    return e;
  };
  auto signalled = [](int sig, bool by_interrupt) {
    ChildEnding e;
    e.signal = sig;
    e.by_interrupt = by_interrupt;
    return e;
  };
  const Case cases[] = {
      {true, true, "", exited(1), Verdict::kComplete, ""},
      {true, false, "No ACK. ", exited(1), Verdict::kNg, "No ACK."},
      {true, false, "Interrupted.", signalled(2, true), Verdict::kNg, "Interrupted."},
      // Killed after the channel said complete: not complete.
      {true, true, "", signalled(9, false), Verdict::kNoVerdict, "tonecast ended by signal 9"},
      {false, false, "", signalled(15, true), Verdict::kNoVerdict, "Interrupted."},
      {false, false, "No ACK. ", signalled(11, false), Verdict::kNoVerdict,
       "No ACK. (tonecast ended by signal 11)"},
      {true, true, "", exited(0), Verdict::kNoVerdict,
       "tonecast ended without a verdict (exit status 0)"},
      {false, false, "File not found.", exited(0), Verdict::kNoVerdict, "File not found."},
  };
  for (const Case& c : cases) {
    ChannelOutcome told;
    told.has_verdict = c.verdict;
    told.complete = c.complete;
    told.first_error = c.error;
    std::string why;
    EXPECT_EQ(JudgeRun(told, c.end, &why), c.want) << c.why;
    EXPECT_EQ(TrimEnd(why), c.why);
  }
}

TEST(Report, FieldsAreQuotedWhenTheyMustBe) {
  EXPECT_EQ(CsvField("COM3"), "COM3");
  EXPECT_EQ(CsvField("No ACK. "), "\"No ACK. \"");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  ReportRow row;
  row.start = "2026-12-09T06:32:59+01:00";
  row.round = 3;
  row.port = "ttyUSB0";
  row.device = "/dev/serial/by-id/usb-A,B";
  row.image = "image.vp";
  row.image_sha256 = std::string(64, 'a');
  row.size = 946704;
  row.flash = 16;
  row.verdict = "NG";
  row.error = "Illegal file format.  (code:1)";
  row.seconds = 12.345;
  row.host = "bench-3";
  row.tonecast_version = "0.5.0 (git abc1234)";
  EXPECT_EQ(ReportLine(row),
            "2026-12-09T06:32:59+01:00,3,ttyUSB0,\"/dev/serial/by-id/usb-A,B\","
            "image.vp," +
                std::string(64, 'a') +
                ",946704,16,NG,Illegal file format.  (code:1),12.3,bench-3,"
                "0.5.0 (git abc1234)\n");
}

// SHA-256 against the standard's vectors (padding within one block, into a
// second block, many blocks), fed whole and byte by byte.
TEST(Sha256, KnownVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : cases) {
    tonecast::Sha256 whole, bytes;
    whole.Update(text.data(), text.size());
    EXPECT_EQ(whole.HexDigest(), digest);
    for (char ch : text) bytes.Update(&ch, 1);
    EXPECT_EQ(bytes.HexDigest(), digest);
  }
}

TEST(PortPlan, NumbersLabelsAndRefusals) {
  std::vector<UnitPort> units;
  ASSERT_EQ(PlanUnits({"/dev/ttyUSB0", "COM1", "/dev/serial/by-id/usb-FT 232:R-if00", "COM3",
                       "/other/ttyUSB0"},
                      true, &units),
            "");
  ASSERT_EQ(units.size(), 5u);
  // Device paths take numbers that no named COM<n> uses.
  EXPECT_EQ(units[0].com, 2);
  EXPECT_EQ(units[0].env, "COM2=/dev/ttyUSB0");
  EXPECT_EQ(units[0].label, "ttyUSB0");
  EXPECT_EQ(units[1].com, 1);
  EXPECT_EQ(units[1].env, "");
  EXPECT_EQ(units[1].label, "COM1");
  EXPECT_EQ(units[2].com, 4);
  EXPECT_EQ(units[2].label, "usb-FT_232_R-if00");
  EXPECT_EQ(units[3].com, 3);
  EXPECT_EQ(units[4].com, 5);
  EXPECT_EQ(units[4].label, "ttyUSB0");
  // Folders: a device folder's entries by their name; a path elsewhere with
  // a mark of its whole path, so the two ttyUSB0 never share a folder.
  EXPECT_EQ(units[0].folder, "ttyUSB0");
  EXPECT_EQ(units[1].folder, "COM1");
  EXPECT_EQ(units[2].folder, "usb-FT_232_R-if00");
  EXPECT_EQ(units[4].folder.substr(0, 8), "ttyUSB0-");
  EXPECT_EQ(units[4].folder.size(), 16u);
  // The station's own names are never a port's folder.
  std::vector<UnitPort> other;
  ASSERT_EQ(PlanUnits({"/x/report.csv", "/dev/Report-2.csv"}, true, &other), "");
  EXPECT_EQ(other[0].folder.substr(0, 16), "port-report.csv-");
  EXPECT_EQ(other[1].folder, "port-Report-2.csv");
  // COM1 without a mapping is /dev/ttyS0.
  unsetenv("COM1");
  EXPECT_EQ(PlanUnits({"COM1", "/dev/ttyS0"}, true, &other),
            "/dev/ttyS0: the same port named twice");
  // The child works elsewhere: a relative path goes over as an absolute one.
  ASSERT_EQ(PlanUnits({"./unit-a"}, true, &units), "");
  EXPECT_EQ(units[0].env, "COM1=" + (std::filesystem::current_path() / "unit-a").string());
  EXPECT_EQ(units[0].label, "unit-a");
  EXPECT_EQ(units[0].device, "./unit-a");

  // COM03 is COM3 (tonecast gets -P 3): its mapping, folder and identity.
  ASSERT_EQ(setenv("COM3", "/dev/null", 1), 0);
  ASSERT_EQ(PlanUnits({"COM03", "COM0012"}, true, &units), "");
  EXPECT_EQ(units[0].com, 3);
  EXPECT_EQ(units[0].device, "/dev/null");
  EXPECT_EQ(units[0].folder, "COM3");
  EXPECT_EQ(units[1].label, "COM12");
  EXPECT_EQ(PlanUnits({"COM3", "COM03"}, true, &units), "COM03: the same port named twice");
  EXPECT_EQ(PlanUnits({"COM3", "COM03"}, false, &units), "COM03: the same port named twice");
  unsetenv("COM3");
  EXPECT_NE(PlanUnits({"COM3", "COM3"}, true, &units), "");
  EXPECT_NE(PlanUnits({"/dev/null", "/dev/../dev/null"}, true, &units), "");
  // Without the environment's mapping only COM<n> names can be handed on.
  EXPECT_NE(PlanUnits({"COM3", "/dev/ttyUSB0"}, false, &units), "");
  EXPECT_EQ(PlanUnits({"COM3", "COM10"}, false, &units), "");
  EXPECT_EQ(LabelFor(".."), "port..");
  EXPECT_EQ(LabelFor("C:\\ports\\x"), "x");
}

// --list: a column per field, at least two spaces apart (scripts split the
// table there), and what a device says of itself without control bytes.
TEST(PortTable, ColumnsAndDeviceTextMadePrintable) {
  platform::SerialPortInfo usb, uart;
  usb.name = "COM3";
  usb.kind = "usb";
  usb.usb_id = "0403:6001";
  usb.maker = "Maker\x1b[2J";
  usb.product = "Adapter \xc3\xa9\x7f\r\n";
  usb.serial = "A1";
  usb.description = "USB Serial Port (COM3)";
  uart.name = "COM1";
  uart.kind = "uart";
  EXPECT_EQ(PortTable({usb, uart}),
            "NAME  KIND  USB-ID     MAKER      PRODUCT       SERIAL  STABLE-NAME  DESCRIPTION\n"
            "COM3  usb   0403:6001  Maker?[2J  Adapter \xc3\xa9???  A1      -            "
            "USB Serial Port (COM3)\n"
            "COM1  uart  -          -          -             -       -            -\n");
}

// The texts around the table: plain lines, results without tonecast's
// trailing blank, the summary; names made printable, shortened, cut.
TEST(Board, PlainLinesResultsAndSummary) {
  UnitView ok, nak, odd;
  ok.port = "COM3";
  nak.port = "COM4";
  ok.verdict = Verdict::kComplete;
  nak.verdict = Verdict::kNg;
  nak.first_error = "No ACK. ";
  odd.port = "tty\x1b[2J\x7f";
  odd.phase = "Download file#0...";
  EXPECT_EQ(PlainVerdictLine(ok), "COM3: complete\n");
  EXPECT_EQ(PlainVerdictLine(nak), "COM4: NG (No ACK.)\n");
  EXPECT_EQ(PlainPhaseLine(odd), "tty?[2J?: Download file#0...\n");
  EXPECT_EQ(SummaryText({ok, ok}), "2 of 2 units complete.\n");
  EXPECT_EQ(SummaryText({ok, nak}), "1 of 2 units complete. Not complete:\n  COM4: NG (No ACK.)\n");
  // C0, DEL and C1 (U+009B, a terminal's one-byte CSI) become '?'; other
  // UTF-8 stays.
  EXPECT_EQ(Printable("a\tb\r\n\xc2\x9b"
                      "1m\xc3\xa9\xc2\xa0"),
            "a?b???1m\xc3\xa9\xc2\xa0");
  EXPECT_EQ(CutToColumns("ab\xc3\xa9"
                         "cd",
                         3),
            "ab\xc3\xa9");
  EXPECT_EQ(CutToColumns("abc", 0), "abc");
  const std::string by_id = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  EXPECT_EQ(ShortenMiddle(by_id, 44), by_id);
  EXPECT_EQ(ShortenMiddle(by_id, 30), "usb-FTDI_...50285BI-if00-port0");
  EXPECT_EQ(ShortenMiddle("\xc3\xa9\xc3\xa9\xc3\xa9xyz\xc3\xa9\xc3\xa9", 7),
            "\xc3\xa9...z\xc3\xa9\xc3\xa9");
  EXPECT_EQ(ShortenMiddle(by_id, 4), "ort0");
}

// A row at any width: the port column narrows (names shortened in the
// middle) before the percent, the time left or the verdict is cut; the
// phase column shows the step while running and the verdict once ended,
// in colour only when asked.
TEST(Board, RowsFitTheWidthAndShowTheVerdict) {
  const std::string by_id = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  UnitView running, ok, ng, none, fresh;
  running.port = ok.port = ng.port = none.port = by_id;
  fresh.port = "COM3";
  running.phase = "Download file#0...";
  running.total = 270600;
  running.taken = 135300;
  running.first_ms = 1000;
  running.last_ms = 12750;                  // half in 11.75 s: as long again to go
  ok.phase = ng.phase = "Close COM port.";  // the last step stays behind the verdict
  ok.verdict = Verdict::kComplete;
  ng.verdict = Verdict::kNg;
  ng.first_error = "Check sum NG. ";
  none.verdict = Verdict::kNoVerdict;
  none.first_error = "Cannot make the folder x.";
  const std::vector<UnitView> views = {running, ok, ng, none, fresh};
  EXPECT_EQ(ProgressText(running), " 50%  0:11 left");

  struct Case {
    int columns;
    std::size_t port;               // the port column's width
    std::vector<std::string> rows;  // header, then the views' rows
  };
  const std::string pad15(15, ' ');
  const Case cases[] = {
      {0,
       44,
       {"PORT" + std::string(42, ' ') + "PROGRESS" + std::string(9, ' ') + "PHASE",
        by_id + "   50%  0:11 left  Download file#0...", by_id + "  " + pad15 + "  complete",
        by_id + "  " + pad15 + "  NG (Check sum NG.)",
        by_id + "  " + pad15 + "  no verdict (Cannot make the folder x.)",
        "COM3" + std::string(42 + 17, ' ') + "starting"}},
      // Narrower than a by-id name alone: the port column at its least.
      {40,
       10,
       {"PORT        PROGRESS         PHASE", "us...port0   50%  0:11 left  Download fi",
        "us...port0  " + pad15 + "  complete", "us...port0  " + pad15 + "  NG (Check s",
        "us...port0  " + pad15 + "  no verdict", "COM3        " + pad15 + "  starting"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.columns);
    const BoardLayout layout = LayoutFor(views, c.columns);
    EXPECT_EQ(layout.port, c.port);
    EXPECT_EQ(BoardHeader(layout), c.rows[0]);
    for (std::size_t i = 0; i < views.size(); ++i) {
      const std::string row = BoardRow(views[i], layout, Colour::kNone);
      EXPECT_EQ(row, c.rows[i + 1]);
      EXPECT_LE(Columns(row), c.columns > 0 ? std::size_t(c.columns) : row.size());
    }
  }
  // Colour: the verdict word alone, after the row has been fitted.
  const BoardLayout layout = LayoutFor(views, 40);
  EXPECT_EQ(BoardRow(ok, layout, Colour::kTerminal),
            "us...port0  " + pad15 + "  \x1b[32mcomplete\x1b[0m");
  EXPECT_EQ(BoardRow(ng, layout, Colour::kTerminal),
            "us...port0  " + pad15 + "  \x1b[31mNG\x1b[0m (Check s");
  EXPECT_EQ(BoardRow(none, layout, Colour::kTerminal),
            "us...port0  " + pad15 + "  \x1b[33mno verdict\x1b[0m");
  EXPECT_EQ(BoardRow(running, layout, Colour::kTerminal), BoardRow(running, layout, Colour::kNone));
  // Narrower than the columns before the phase: cut there, no colour.
  EXPECT_EQ(BoardRow(ng, LayoutFor(views, 20), Colour::kTerminal), "us...port0");
}

}  // namespace
}  // namespace station
