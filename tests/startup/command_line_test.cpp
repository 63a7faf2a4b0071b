// The command line's effect on the run state: port number conversion, the
// ignored cable type, the flash-size option, and arguments that do not fit
// their fields.
#include "downloader/command_line.h"

#include <string>
#include <vector>

#include "downloader/errors.h"
#include "downloader/run_state.h"
#include "downloader/vp_file.h"
#include "tests/startup/startup_fixture.h"
#include "tools/vpimage/vp_builder.h"

using namespace tonecast;

namespace {

using startup_test::Captured;
using startup_test::StartupTest;

class CommandLineTest : public StartupTest {
 protected:
  int Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tonecast");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int result = -1;
    out_ = Captured([&] { result = ParseCommandLine(int(args.size()), argv.data()); });
    return result;
  }
  std::string out_;
};

TEST_F(CommandLineTest, PortNumberTakesDecimalHexAndOctal) {
  struct Case {
    const char* text;
    int port;
  };
  for (const Case& c : {Case{"2", 2}, Case{"0x3", 3}, Case{"010", 8}, Case{"12abc", 12},
                        Case{"2147483647", 2147483647}}) {
    InitRunState();
    EXPECT_EQ(Parse({"-P", c.text, "-8M"}), 1) << c.text;
    EXPECT_EQ(g_com_port, c.port) << c.text;
    EXPECT_EQ(out_, "");
  }
}

TEST_F(CommandLineTest, PortNumberZeroOrUnusableIsRefusedAndCounted) {
  for (const char* text : {"0", "x", "08", "", "0x", "2147483648", "99999999999999999999"}) {
    InitRunState();
    EXPECT_EQ(Parse({"-P", text, "-8M"}), 0) << text;
    EXPECT_EQ(out_, "\nError : Illegal COM port No.\n") << text;
    EXPECT_EQ(g_error_count.load(), 1);
    EXPECT_EQ(g_com_port, 1) << text;  // unchanged
  }
}

// A value that is no number may name the port: COM<n> in any case, also as
// \\.\COM<n> (the numbered port, logged as COM<n>), or a device path (one with
// a slash or a backslash), which is opened and logged as typed.
TEST_F(CommandLineTest, PortNamesAndDevicePathsBesideTheNumber) {
  struct Case {
    const char* text;
    int port;          // g_com_port afterwards
    const char* path;  // g_port_path afterwards
    const char* name;  // FormatPortName
  };
  for (const Case& c : {Case{"COM3", 3, "", "COM3"}, Case{"com12", 12, "", "COM12"},
                        Case{"\\\\.\\COM12", 12, "", "COM12"},
                        Case{"/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0", 1,
                             "/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0",
                             "/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0"},
                        Case{"\\\\.\\USBSER000", 1, "\\\\.\\USBSER000", "\\\\.\\USBSER000"},
                        Case{"3/x", 3, "", "COM3"}}) {
    InitRunState();
    EXPECT_EQ(Parse({"-P", c.text, "-8M"}), 1) << c.text;
    EXPECT_EQ(out_, "") << c.text;
    EXPECT_EQ(g_com_port, c.port) << c.text;
    EXPECT_STREQ(g_port_path, c.path) << c.text;
    char name[kPortPathSize];
    FormatPortName(name, sizeof name);
    EXPECT_STREQ(name, c.name) << c.text;
  }
  // The last -P counts, and names that are neither stay illegal.
  InitRunState();
  EXPECT_EQ(Parse({"-P", "/dev/ttyUSB0", "-P", "4"}), 1);
  EXPECT_STREQ(g_port_path, "");
  EXPECT_EQ(g_com_port, 4);
  for (const char* text : {"COM0", "COMX", "ttyUSB0", "COM99999999999"}) {
    InitRunState();
    EXPECT_EQ(Parse({"-P", text}), 0) << text;
    EXPECT_EQ(out_, "\nError : Illegal COM port No.\n") << text;
  }
  InitRunState();
  EXPECT_EQ(Parse({"-P", "/dev/" + std::string(300, 'x')}), 0);
  EXPECT_EQ(out_, "Error : Port name is too long.\n");
}

TEST_F(CommandLineTest, CableTypeIsSkippedWithoutEffect) {
  EXPECT_EQ(Parse({"-C", "3", "-P", "4"}), 1);
  EXPECT_EQ(g_cable_flags, 1u);
  EXPECT_EQ(g_com_port, 4);
  // The skipped argument is not examined, even when it looks like an option.
  EXPECT_EQ(Parse({"-C", "-X"}), 1);
}

TEST_F(CommandLineTest, LastFlashOptionStaysInTheOptionText) {
  EXPECT_EQ(Parse({"-16m", "-8m"}), 1);
  EXPECT_STREQ(g_option_text, "-8M");
  EXPECT_EQ(Parse({"-8M", "-16m"}), 1);
  EXPECT_STREQ(g_option_text, "-16M");
}

TEST_F(CommandLineTest, OptionBeforeTheFileSelectsItsGeometry) {
  const std::string p16 = Write("a.vp", BuildVpImage(16, 1));
  EXPECT_EQ(Parse({"-16M", p16}), 1);
  EXPECT_EQ(g_data_files[0].valid, 1u);
  InitRunState();
  EXPECT_EQ(Parse({p16, "-16M"}), 0);
  EXPECT_EQ(out_, "\nError : File size error. \n");
}

TEST_F(CommandLineTest, ArgumentsLongerThanTheirFieldsAreRefusedWhole) {
  const std::string long_name(kNameSize, 'f');  // 260 characters: one too many
  EXPECT_EQ(Parse({"-8M", long_name}), 0);
  EXPECT_EQ(out_, "Error : File name is too long.\n");
  EXPECT_STREQ(g_data_files[0].name, "");
  EXPECT_EQ(g_error_count.load(), 0);

  const std::string long_option = "-16M" + std::string(kNameSize, 'M');
  EXPECT_EQ(Parse({"-8M", long_option}), 0);
  EXPECT_EQ(out_, "Error : Illegal parameter\n");
  EXPECT_STREQ(g_option_text, "-8M");  // the earlier option, untouched

  // 259 characters fit; the file does not exist.
  const std::string fits(kNameSize - 1, 'f');
  EXPECT_EQ(Parse({"-8M", fits}), 0);
  EXPECT_EQ(out_, "\nError : File not found. \n");
  EXPECT_EQ(std::string(g_data_files[0].name), fits);
}

TEST_F(CommandLineTest, PortOptionWithoutItsValueIsRefusedCableOptionIsNot) {
  EXPECT_EQ(Parse({"-8M", "-P"}), 0);
  EXPECT_EQ(out_, "Error : Option -P needs a value.\n");
  // The cable type is skipped, and there may be none to skip.
  EXPECT_EQ(Parse({"-8M", "-C"}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(g_error_count.load(), 0);
}

}  // namespace
