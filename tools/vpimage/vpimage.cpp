// vpimage: builds VP images for tests and demos, and checks images.
//
//   vpimage build --flash 8|16 [--seed N] [--break NAME] -o FILE
//   vpimage check [--flash 8|16] FILE
//
// check exits 0 when the image is valid and 1 when it is not; without
// --flash the geometry is the one whose file size is nearer to the file's.
// Usage errors exit 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "project_version.h"
#include "tools/vpimage/vp_builder.h"
#include "vpformat/vp_format.h"

using namespace tonecast;

namespace {

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: vpimage build --flash 8|16 [--seed N] [--break NAME] -o FILE\n"
    "       vpimage check [--flash 8|16] FILE\n"
    "       vpimage --version | --help\n"
    "break names: none size head-marker count pattern checksum tail-marker "
    "sum-length\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

bool ParseFlash(const char* text, int* flash) {
  if (std::strcmp(text, "8") == 0) {
    *flash = 8;
    return true;
  }
  if (std::strcmp(text, "16") == 0) {
    *flash = 16;
    return true;
  }
  std::fprintf(stderr, "vpimage: --flash takes 8 or 16, not \"%s\"\n", text);
  return false;
}

bool ParseSeed(const char* text, std::uint32_t* seed) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFull) {
    std::fprintf(stderr, "vpimage: --seed takes a number up to 4294967295, not \"%s\"\n", text);
    return false;
  }
  *seed = static_cast<std::uint32_t>(v);
  return true;
}

int Build(int argc, char** argv) {
  int flash = 0;
  std::uint32_t seed = 1;
  VpBreak defect = VpBreak::kNone;
  const char* out = nullptr;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--flash" && has_value) {
      if (!ParseFlash(argv[++i], &flash)) return kExitUsage;
    } else if (arg == "--seed" && has_value) {
      if (!ParseSeed(argv[++i], &seed)) return kExitUsage;
    } else if (arg == "--break" && has_value) {
      if (!ParseVpBreak(argv[++i], &defect)) {
        std::fprintf(stderr, "vpimage: unknown break \"%s\"\n", argv[i]);
        return Usage();
      }
    } else if (arg == "-o" && has_value) {
      out = argv[++i];
    } else {
      return Usage();
    }
  }
  if (flash == 0 || out == nullptr) return Usage();

  const std::vector<std::uint8_t> image = BuildVpImage(flash, seed, defect);
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "vpimage: cannot write %s: %s\n", out, std::strerror(errno));
    return kExitInvalid;
  }
  std::printf("%s: %zu bytes, %d Mbit image\n", out, image.size(), flash);
  return kExitValid;
}

void Explain(unsigned problems, const VpGeometry& g, std::size_t size) {
  if (problems & VP_BAD_SIZE)
    std::printf("size is %zu bytes; %d Mbit images have %u bytes\n", size, g.flash_size,
                g.file_size);
  if (problems & VP_BAD_HEAD_MARKER)
    std::printf("head block marker at offset %u is not 0x55 0x00\n", g.marker_offset);
  if (problems & VP_BAD_COUNT)
    std::printf("count at offset %u is above the limit of %u\n", g.marker_offset + 2,
                g.count_limit);
  if (problems & VP_BAD_HEAD_PATTERN)
    std::printf("head block pattern at offsets 32 to 63 is not 0x1F down to 0x00\n");
  if (problems & VP_BAD_SUM_LENGTH)
    std::printf("sum length at offset %u reaches beyond the end of the file\n",
                g.marker_offset + 4);
  if (problems & VP_BAD_CHECKSUM) std::printf("checksum: the words do not add up to 0\n");
  if (problems & VP_BAD_TAIL)
    std::printf("tail block: marker at offset %u is not 0xAA 0x00, or its pattern is wrong\n",
                g.marker_offset);
}

int Check(int argc, char** argv) {
  int flash = 0;
  const char* path = nullptr;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flash" && i + 1 < argc) {
      if (!ParseFlash(argv[++i], &flash)) return kExitUsage;
    } else if (path == nullptr && !arg.empty() && arg[0] != '-') {
      path = argv[i];
    } else {
      return Usage();
    }
  }
  if (path == nullptr) return Usage();

  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::printf("%s: cannot be opened: %s\n", path, std::strerror(errno));
    return kExitInvalid;
  }
  const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
  if (file.bad()) {
    std::printf("%s: cannot be read\n", path);
    return kExitInvalid;
  }
  if (flash == 0) {
    // The geometry whose file size is nearer to the file's.
    const std::size_t mid = (GeometryFor(8).file_size + GeometryFor(16).file_size) / 2;
    flash = image.size() > mid ? 16 : 8;
  }
  const VpGeometry& g = GeometryFor(flash);
  const unsigned problems = ExamineVpImage(image.data(), image.size(), g);
  if (problems == VP_OK) {
    std::printf("%s: valid %d Mbit image\n", path, flash);
    return kExitValid;
  }
  std::printf("%s: not a valid %d Mbit image\n", path, flash);
  Explain(problems, g, image.size());
  return kExitInvalid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "--version") {
    std::printf("vpimage %s\n", kProjectVersionText);
    return kExitValid;
  }
  if (command == "--help") {
    std::fputs(kUsage, stdout);
    return kExitValid;
  }
  if (command == "build") return Build(argc - 2, argv + 2);
  if (command == "check") return Check(argc - 2, argv + 2);
  return Usage();
}
