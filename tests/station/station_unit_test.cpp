// The station's pure parts: reading tonecast's output however it is split,
// the progress lines, the report's CSV, the port plan, --list's table and
// the texts shown.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "station/board.h"
#include "station/port_listing.h"
#include "station/port_plan.h"
#include "station/report.h"
#include "station/screen_text.h"
#include "station/tonecast_output.h"
#include "tests/support/tonecast_text.h"

namespace station {
namespace {

std::vector<std::string> Describe(const std::vector<ConsoleEvent>& events) {
  std::vector<std::string> out;
  for (const ConsoleEvent& e : events) {
    switch (e.kind) {
      case ConsoleEvent::kPhase:
        out.push_back("phase " + e.text);
        break;
      case ConsoleEvent::kError:
        out.push_back("error " + e.text);
        break;
      case ConsoleEvent::kComplete:
        out.push_back("complete");
        break;
      case ConsoleEvent::kNg:
        out.push_back("NG");
        break;
    }
  }
  return out;
}

// Feeds the text in pieces of `piece` bytes (0: at `split` in two).
std::vector<std::string> Read(const std::string& text, std::size_t piece, std::size_t split = 0) {
  ConsoleReader reader;
  std::vector<ConsoleEvent> events;
  if (piece == 0) {
    reader.Feed(text.data(), split, &events);
    reader.Feed(text.data() + split, text.size() - split, &events);
  } else {
    for (std::size_t i = 0; i < text.size(); i += piece)
      reader.Feed(text.data() + i, std::min(piece, text.size() - i), &events);
  }
  reader.Finish(&events);
  return Describe(events);
}

TEST(ConsoleReader, FindsTheStepsOfEveryRunHoweverTheOutputIsSplit) {
  using testsupport::kBanner;
  const std::string status = testsupport::FileStatus("/tmp/image.vp", 270600);
  struct Case {
    std::string out;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {kBanner + status + testsupport::kGoodDialogue + testsupport::kComplete,
       {"phase Flash inithalizing...", "phase Prepare downloading...",
        "phase Changing baudrate (UP)...", "phase Download file#0...", "phase Now waiting FIN...",
        "phase Changing baudrate (DOWN)...", "phase Waiting for the end...", "phase OK...",
        "phase Close COM port.", "complete"}},
      {kBanner + status +
           "\nFlash inithalizing...\nError : Initialization failure. \nend. \n"
           "Waiting for the end...\nError : No ACK. \nClose COM port.\n" +
           testsupport::kNg,
       {"phase Flash inithalizing...", "error Initialization failure. ",
        "phase Waiting for the end...", "error No ACK. ", "phase Close COM port.", "NG"}},
      {kBanner + status + "\nError : Cannot open COM12. (code:2)\n" + testsupport::kNg,
       {"error Cannot open COM12. (code:2)", "NG"}},
      {kBanner + status +
           "\nFlash inithalizing...end. \nPrepare downloading...end. \n"
           "Changing baudrate (UP)...end. \n\nDownload file#0..."
           "\nError : Interrupted.\nClose COM port.\n" +
           testsupport::kNg,
       {"phase Flash inithalizing...", "phase Prepare downloading...",
        "phase Changing baudrate (UP)...", "phase Download file#0...", "error Interrupted.",
        "phase Close COM port.", "NG"}},
      // Output that ends inside an error line (the process died): still an error.
      {kBanner + "Error : Number of parameter is small. ",
       {"error Number of parameter is small. "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(Read(c.out, 4096), c.events);
    EXPECT_EQ(Read(c.out, 1), c.events);
    EXPECT_EQ(Read(c.out, 7), c.events);
    for (std::size_t split = 1; split < c.out.size(); ++split)
      ASSERT_EQ(Read(c.out, 0, split), c.events) << "split at " << split;
  }
}

TEST(ProgressReader, TakesProgressLinesAndKeepsAnyOtherLine) {
  const std::string err =
      "progress 0 270600\nprogress 113664 270600\r\nwarning: something\nprogress 9 8\n"
      "progress 1 2 3\nprogress x 2\n" +
      std::string(600, 'z') + "\nprogress 270600 270600";
  for (std::size_t piece : {std::size_t(1), std::size_t(5), err.size()}) {
    ProgressReader reader;
    std::vector<Progress> progress;
    std::vector<std::string> other;
    for (std::size_t i = 0; i < err.size(); i += piece)
      reader.Feed(err.data() + i, std::min(piece, err.size() - i), &progress, &other);
    reader.Finish(&progress, &other);
    ASSERT_EQ(progress.size(), 3u);
    EXPECT_EQ(progress[1].taken, 113664u);
    EXPECT_EQ(progress[1].total, 270600u);
    EXPECT_EQ(progress[2].taken, 270600u);
    // A count above its total, extra or missing numbers are not progress;
    // an overlong line is cut into pieces.
    ASSERT_EQ(other.size(), 6u);
    EXPECT_EQ(other[0], "warning: something");
    EXPECT_EQ(other[3], "progress x 2");
    EXPECT_EQ(other[4].size(), ProgressReader::kMaxLine);
  }
}

TEST(Report, FieldsAreQuotedWhenTheyMustBe) {
  EXPECT_EQ(CsvField("COM3"), "COM3");
  EXPECT_EQ(CsvField("No ACK. "), "\"No ACK. \"");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  ReportRow row;
  row.start = "2026-12-09 06:32:59";
  row.port = "ttyUSB0";
  row.device = "/dev/serial/by-id/usb-A,B";
  row.image = "image.vp";
  row.size = 946704;
  row.flash = 16;
  row.verdict = "NG";
  row.error = "Illegal file format.  (code:1)";
  row.seconds = 12.345;
  EXPECT_EQ(ReportLine(row),
            "2026-12-09 06:32:59,ttyUSB0,\"/dev/serial/by-id/usb-A,B\",image.vp,946704,16,NG,"
            "Illegal file format.  (code:1),12.3\n");
  EXPECT_EQ(ReportHeader(), "start,port,device,image,size,flash_mbit,verdict,error,seconds\n");
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
  EXPECT_EQ(units[4].label, "ttyUSB0-2");
  // Linux keeps no file name for devices: each folder is named as its port.
  for (const UnitPort& u : units) EXPECT_EQ(u.folder, u.label);

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
  EXPECT_EQ(ShortenMiddle(by_id, 30).size(), 30u);
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
      // An 80-column terminal, one column kept free: 79.
      {79,
       33,
       {"PORT" + std::string(31, ' ') + "PROGRESS" + std::string(9, ' ') + "PHASE",
        "usb-FTDI_F..._A50285BI-if00-port0   50%  0:11 left  Download file#0...",
        "usb-FTDI_F..._A50285BI-if00-port0  " + pad15 + "  complete",
        "usb-FTDI_F..._A50285BI-if00-port0  " + pad15 + "  NG (Check sum NG.)",
        "usb-FTDI_F..._A50285BI-if00-port0  " + pad15 + "  no verdict (Cannot make the",
        "COM3" + std::string(31 + 17, ' ') + "starting"}},
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
