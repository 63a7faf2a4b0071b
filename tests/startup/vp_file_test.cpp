// The VP data file: decoding the flash-size option, the format check of an
// image in memory, the file check with its console reports, and loading the
// file for sending.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "downloader/errors.h"
#include "downloader/vp_file.h"
#include "vpformat/vp_format.h"
#include "tests/startup/startup_fixture.h"
#include "tools/vpimage/vp_builder.h"

using namespace tonecast;

namespace {

using startup_test::Captured;
using startup_test::StartupTest;

// ---- DecodeFlashSize ------------------------------------------------------

TEST(DecodeFlashSizeTest, CodesAndTextAfterDecoding) {
  struct Case {
    const char* in;
    int code;
    const char* after;
  };
  const Case cases[] = {
      {"-16M", 16, "-16M"}, {"-16m", 16, "-16M"}, {"-8M", 8, "-8M"},   {"-8m", 8, "-8M"},
      {"-16", 255, "-16"},  {"-8", 255, "-8"},    {"-16MB", 255, "-16MB"},
      {"-9M", 255, "-9M"},  {"", 255, ""},        {"-", 255, "-"},     {"16M", 255, "16M"},
      {"8m", 255, "8m"},    // not an option: left unchanged
      {"-1mm", 255, "-1MM"},  // both positions are upper-cased before comparing
      {"-16M ", 255, "-16M "},
  };
  for (const Case& c : cases) {
    char text[kNameSize] = {};
    std::strcpy(text, c.in);
    EXPECT_EQ(DecodeFlashSize(text), c.code) << c.in;
    EXPECT_STREQ(text, c.after) << c.in;
  }
}

TEST(DecodeFlashSizeTest, ShortTextIsNotReadPastItsEnd) {
  // Exactly sized heap copies: the sanitizer build catches a read or write
  // beyond the terminator.
  for (const char* in : {"-", "-8", "-m", "-1"}) {
    std::vector<char> text(in, in + std::strlen(in) + 1);
    EXPECT_EQ(DecodeFlashSize(text.data()), 255) << in;
  }
}

// ---- ExamineVpImage -------------------------------------------------------

void PutLe32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) image[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// Sets L and fixes the first word so that the words below `covered` sum to 0.
void SetSumLength(std::vector<std::uint8_t>& image, const VpGeometry& g, std::uint32_t sum_length,
                  std::size_t covered) {
  PutLe32(image, g.marker_offset + 4, sum_length);
  image[0] = image[1] = 0;
  const std::uint16_t fix = static_cast<std::uint16_t>(0x10000u - VpWordSum(image.data(), covered));
  image[0] = static_cast<std::uint8_t>(fix);
  image[1] = static_cast<std::uint8_t>(fix >> 8);
}

class ExamineTest : public ::testing::TestWithParam<int> {
 protected:
  const VpGeometry& g() const { return GeometryFor(GetParam()); }
  std::vector<std::uint8_t> Image(VpBreak defect = VpBreak::kNone) const {
    return BuildVpImage(GetParam(), 11, defect);
  }
  unsigned Examine(const std::vector<std::uint8_t>& image) const {
    return ExamineVpImage(image.data(), image.size(), g());
  }
};

TEST_P(ExamineTest, BuiltImagesShowExactlyTheirBreak) {
  EXPECT_EQ(Examine(Image()), unsigned(VP_OK));
  EXPECT_EQ(Examine(Image(VpBreak::kSize)), unsigned(VP_BAD_SIZE));
  EXPECT_EQ(Examine(Image(VpBreak::kHeadMarker)), unsigned(VP_BAD_HEAD_MARKER));
  EXPECT_EQ(Examine(Image(VpBreak::kCount)), unsigned(VP_BAD_COUNT));
  EXPECT_EQ(Examine(Image(VpBreak::kPattern)), unsigned(VP_BAD_HEAD_PATTERN));
  EXPECT_EQ(Examine(Image(VpBreak::kChecksum)), unsigned(VP_BAD_CHECKSUM));
  EXPECT_EQ(Examine(Image(VpBreak::kTailMarker)), unsigned(VP_BAD_TAIL));
  EXPECT_EQ(Examine(Image(VpBreak::kSumLength)), unsigned(VP_BAD_SUM_LENGTH));
}

TEST_P(ExamineTest, SizeMustMatchTheGeometryExactly) {
  std::vector<std::uint8_t> image = Image();
  EXPECT_EQ(ExamineVpImage(image.data(), image.size() - 1, g()), unsigned(VP_BAD_SIZE));
  EXPECT_EQ(ExamineVpImage(image.data(), 0, g()), unsigned(VP_BAD_SIZE));
  const int other = GetParam() == 16 ? 8 : 16;
  const std::vector<std::uint8_t> wrong = BuildVpImage(other, 11);
  EXPECT_EQ(ExamineVpImage(wrong.data(), wrong.size(), g()), unsigned(VP_BAD_SIZE));
}

TEST_P(ExamineTest, CountAtTheLimitPassesAndOneMoreFails) {
  std::vector<std::uint8_t> image = Image();
  const std::uint32_t at = g().marker_offset + 2;
  EXPECT_EQ(image[at] | (image[at + 1] << 8), int(g().count_limit));  // built at the limit
  EXPECT_EQ(Examine(image), unsigned(VP_OK));
  image = Image(VpBreak::kCount);
  EXPECT_EQ(image[at] | (image[at + 1] << 8), int(g().count_limit + 1));
  EXPECT_EQ(Examine(image), unsigned(VP_BAD_COUNT));
}

TEST_P(ExamineTest, EveryHeadMarkerAndPatternByteCounts) {
  const std::vector<std::uint8_t> good = Image();
  for (std::uint32_t at : {g().marker_offset, g().marker_offset + 1}) {
    std::vector<std::uint8_t> image = good;
    image[at] ^= 0x01;
    EXPECT_EQ(Examine(image), unsigned(VP_BAD_HEAD_MARKER)) << at;
  }
  for (std::uint32_t at = 32; at < 64; ++at) {
    std::vector<std::uint8_t> image = good;
    image[at] ^= 0x80;
    EXPECT_EQ(Examine(image), unsigned(VP_BAD_HEAD_PATTERN)) << at;
  }
  // Bytes right outside the pattern are content.
  for (std::uint32_t at : {31u, 64u}) {
    std::vector<std::uint8_t> image = good;
    image[at] ^= 0x80;
    EXPECT_EQ(Examine(image), unsigned(VP_BAD_CHECKSUM)) << at;
  }
}

TEST_P(ExamineTest, EveryTailFrameByteCounts) {
  const std::vector<std::uint8_t> good = Image();
  const std::size_t tail = good.size() - g().block_size;
  std::vector<std::size_t> offsets = {tail + g().marker_offset, tail + g().marker_offset + 1};
  for (std::size_t at = tail + 32; at < tail + 64; ++at) offsets.push_back(at);
  for (std::size_t at : offsets) {
    std::vector<std::uint8_t> image = good;
    image[at] ^= 0x02;
    // The word changes, so the checksum fails as well: both are found.
    EXPECT_EQ(Examine(image), unsigned(VP_BAD_CHECKSUM | VP_BAD_TAIL)) << at;
  }
}

TEST_P(ExamineTest, OddSumLengthIncludesTheByteAtLPlus2) {
  std::vector<std::uint8_t> image = Image();
  // L = 1001: the words at 0 .. 1002, the last one holding bytes 1002 and 1003.
  SetSumLength(image, g(), 1001, 1004);
  ASSERT_EQ(Examine(image), unsigned(VP_OK));
  std::vector<std::uint8_t> changed = image;
  changed[1003] ^= 0x10;
  EXPECT_EQ(Examine(changed), unsigned(VP_BAD_CHECKSUM));
  changed = image;
  changed[1004] ^= 0x10;  // beyond the sum
  EXPECT_EQ(Examine(changed), unsigned(VP_OK));
}

TEST_P(ExamineTest, EvenSumLengthEndsAtLPlus1) {
  std::vector<std::uint8_t> image = Image();
  SetSumLength(image, g(), 1000, 1002);
  ASSERT_EQ(Examine(image), unsigned(VP_OK));
  image[1002] ^= 0x10;
  EXPECT_EQ(Examine(image), unsigned(VP_OK));
  image[1001] ^= 0x10;
  EXPECT_EQ(Examine(image), unsigned(VP_BAD_CHECKSUM));
}

TEST_P(ExamineTest, SumLengthBeyondTheFileOrWrappingIsAFormatError) {
  const std::uint32_t size = g().file_size;
  std::vector<std::uint8_t> image = Image();
  // The largest lengths that stay inside the file.
  SetSumLength(image, g(), size - 2, size);
  EXPECT_EQ(Examine(image), unsigned(VP_OK));
  SetSumLength(image, g(), size - 3, size);
  EXPECT_EQ(Examine(image), unsigned(VP_OK));
  for (std::uint32_t bad : {size - 1, size, 0x7FFFFFFFu, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    PutLe32(image, g().marker_offset + 4, bad);
    EXPECT_EQ(Examine(image), unsigned(VP_BAD_SUM_LENGTH)) << bad;
  }
}

INSTANTIATE_TEST_SUITE_P(BothGeometries, ExamineTest, ::testing::Values(8, 16));

TEST(GeometryTest, SixteenSelects16MbitAndAnythingElse8Mbit) {
  EXPECT_EQ(GeometryFor(16).file_size, 946704u);
  EXPECT_EQ(GeometryFor(16).block_size * GeometryFor(16).blocks, 946704u);
  for (int code : {8, 255, 0}) {
    EXPECT_EQ(GeometryFor(code).file_size, 270600u);
    EXPECT_EQ(GeometryFor(code).block_size * GeometryFor(code).blocks, 270600u);
  }
}

// ---- CheckDataFile --------------------------------------------------------

class CheckDataFileTest : public StartupTest {
 protected:
  // Checks the file at path with the option text as given.
  int Check(const std::string& path, const char* option = "") {
    std::strcpy(g_option_text, option);
    std::strcpy(g_data_files[0].name, path.c_str());
    int result = -1;
    out_ = Captured([&] { result = CheckDataFile(0); });
    return result;
  }
  std::string Status(const std::string& path, int size) const {
    return "File #0 : name:" + path + "\n       size:" + std::to_string(size) + ",status:OK\n";
  }
  std::string out_;
};

TEST_F(CheckDataFileTest, ValidImagesOfBothGeometries) {
  const std::string p8 = Write("a8.vp", BuildVpImage(8, 1));
  EXPECT_EQ(Check(p8), 1);
  EXPECT_EQ(out_, Status(p8, 270600));
  EXPECT_EQ(g_data_files[0].valid, 1u);
  EXPECT_EQ(g_data_files[0].size, 270600u);

  EXPECT_EQ(Check(p8, "-8M"), 1);  // the same as no option
  EXPECT_EQ(out_, Status(p8, 270600));

  const std::string p16 = Write("a16.vp", BuildVpImage(16, 2));
  EXPECT_EQ(Check(p16, "-16m"), 1);
  EXPECT_EQ(out_, Status(p16, 946704));
  EXPECT_STREQ(g_option_text, "-16M");
  EXPECT_EQ(g_error_count.load(), 0);
}

TEST_F(CheckDataFileTest, GeometryMismatchIsASizeError) {
  const std::string p16 = Write("a16.vp", BuildVpImage(16, 2));
  EXPECT_EQ(Check(p16), 0);
  EXPECT_EQ(out_, "\nError : File size error. \n");
  EXPECT_EQ(g_data_files[0].size, 946704u);  // the size as found
  EXPECT_EQ(g_data_files[0].valid, 0u);
  const std::string p8 = Write("a8.vp", BuildVpImage(8, 2));
  EXPECT_EQ(Check(p8, "-16M"), 0);
  EXPECT_EQ(out_, "\nError : File size error. \n");
  EXPECT_EQ(Check(Write("empty.vp", {}), "-8M"), 0);
  EXPECT_EQ(out_, "\nError : File size error. \n");
  EXPECT_EQ(g_error_count.load(), 3);
}

TEST_F(CheckDataFileTest, MissingFileOrDirectoryIsNotFound) {
  EXPECT_EQ(Check(dir_.file("nothing.vp")), 0);
  EXPECT_EQ(out_, "\nError : File not found. \n");
  EXPECT_EQ(Check(dir_.path()), 0);
  EXPECT_EQ(out_, "\nError : File not found. \n");
  EXPECT_EQ(g_data_files[0].size, 0u);
}

TEST_F(CheckDataFileTest, HeadBlockFailuresCarryTheirCodes) {
  struct Case {
    VpBreak defect;
    const char* out;
  };
  const Case cases[] = {
      {VpBreak::kHeadMarker, "\nError : Illegal file format.  (code:1)\n"},
      {VpBreak::kCount, "\nError : Illegal file format.  (code:2)\n"},
      {VpBreak::kPattern, "\nError : Illegal file format.  (code:2)\n"},
      {VpBreak::kSumLength, "\nError : Illegal file format.  (code:2)\n"},
  };
  for (int flash : {8, 16}) {
    for (const Case& c : cases) {
      const std::string path = Write("bad.vp", BuildVpImage(flash, 3, c.defect));
      EXPECT_EQ(Check(path, flash == 16 ? "-16M" : ""), 0);
      EXPECT_EQ(out_, c.out) << flash << " " << int(c.defect);
      EXPECT_EQ(g_data_files[0].valid, 0u);
    }
  }
}

TEST_F(CheckDataFileTest, ChecksumNgPrintsNoStatusLine) {
  const std::string path = Write("sum.vp", BuildVpImage(8, 4, VpBreak::kChecksum));
  EXPECT_EQ(Check(path), 0);
  EXPECT_EQ(out_, "\nError : Check sum NG. \n");
  EXPECT_EQ(g_error_count.load(), 1);
}

TEST_F(CheckDataFileTest, BadTailAfterTheStatusLine) {
  const std::string path = Write("tail.vp", BuildVpImage(16, 5, VpBreak::kTailMarker));
  EXPECT_EQ(Check(path, "-16M"), 0);
  EXPECT_EQ(out_, Status(path, 946704) + "\nError : End command failure.  (code:2)\n");
  EXPECT_EQ(g_error_count.load(), 1);
}

TEST_F(CheckDataFileTest, BadChecksumAndBadTailAreBothReportedInOrder) {
  std::vector<std::uint8_t> image = BuildVpImage(8, 6);
  image[image.size() - 264 + 256] = 0xAB;  // tail marker; the sum now fails too
  const std::string path = Write("both.vp", image);
  EXPECT_EQ(Check(path), 0);
  EXPECT_EQ(out_, "\nError : Check sum NG. \n\nError : End command failure.  (code:2)\n");
  EXPECT_EQ(g_error_count.load(), 2);
}

TEST_F(CheckDataFileTest, LongestNameIsShownWhole) {
  // A name that fills the field: 259 characters through nested directories.
  std::string rel;
  std::string path = dir_.path();
  while (path.size() + 1 + 60 + 7 < kNameSize - 1) {
    path += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  path += "/" + std::string(kNameSize - 1 - path.size() - 1 - 3, 'f') + ".vp";
  ASSERT_EQ(path.size(), std::size_t(kNameSize - 1));
  testsupport::WriteFile(path, BuildVpImage(8, 7));
  EXPECT_EQ(Check(path), 1);
  EXPECT_EQ(out_, Status(path, 270600));
}

// ---- LoadDataFile ---------------------------------------------------------

using LoadDataFileTest = StartupTest;

TEST_F(LoadDataFileTest, HoldsTheFileBytes) {
  const std::vector<std::uint8_t> image = BuildVpImage(8, 8);
  const std::string path = Write("a.vp", image);
  std::string out = Captured([&] { EXPECT_EQ(LoadDataFile(path.c_str(), 270600), 0); });
  EXPECT_EQ(out, "");
  ASSERT_NE(g_loaded_data, nullptr);
  EXPECT_EQ(std::memcmp(g_loaded_data, image.data(), image.size()), 0);
  delete[] g_loaded_data;
  g_loaded_data = nullptr;
}

TEST_F(LoadDataFileTest, MissingFileIsReportedAndSkipped) {
  std::string out = Captured([&] { EXPECT_EQ(LoadDataFile(dir_.file("gone.vp").c_str(), 10), 1); });
  EXPECT_EQ(out, "\nError : File not found. \n");
  EXPECT_EQ(g_loaded_data, nullptr);
  EXPECT_EQ(g_error_count.load(), 1);
}

TEST_F(LoadDataFileTest, FileShorterThanAskedIsAReadError) {
  // The file shrank after its check: refused rather than sending bytes that
  // were never read.
  const std::string path = Write("short.vp", std::vector<std::uint8_t>(100, 0x5A));
  std::string out = Captured([&] { EXPECT_EQ(LoadDataFile(path.c_str(), 270600), 1); });
  EXPECT_EQ(out, "\nError : Data file cannot be read .  (code:5)\n");
  EXPECT_EQ(g_loaded_data, nullptr);
}

TEST_F(LoadDataFileTest, ReadFailureCarriesTheErrorCode) {
  // Reading a process's own memory file at offset 0 fails with EIO.
  std::string out = Captured([&] { EXPECT_EQ(LoadDataFile("/proc/self/mem", 64), 1); });
  EXPECT_EQ(out, "\nError : Data file cannot be read .  (code:5)\n");
  EXPECT_EQ(g_loaded_data, nullptr);
}

}  // namespace
