#include "station/image_check.h"

#include <vector>

#include "platform/file.h"
#include "vpformat/sha256.h"
#include "vpformat/vp_file_check.h"

namespace station {

bool CheckImage(const std::string& path, int flash, std::uint32_t* size, std::string* errors) {
  const tonecast::VpFileCheck check =
      tonecast::CheckVpFile(path.c_str(), tonecast::GeometryFor(flash));
  *size = check.size;
  tonecast::VpErrorText texts[2];
  const int count = tonecast::VpFileErrorTexts(check, texts);
  errors->clear();
  for (int i = 0; i < count; ++i) *errors += std::string("\nError : ") + texts[i].text + "\n";
  return check.problem == tonecast::VpFileProblem::kNone;
}

std::string ImageAdvice(const std::string& path, int flash) {
  const tonecast::VpGeometry& geometry = tonecast::GeometryFor(flash);
  return tonecast::VpFileAdvice(path.c_str(), tonecast::CheckVpFile(path.c_str(), geometry),
                                geometry);
}

int ImageSha256(const std::string& path, std::string* hex) {
  platform::File* file = nullptr;
  if (const int err = platform::FileOpenRead(path.c_str(), &file)) return err;
  tonecast::Sha256 sha;
  std::vector<char> buffer(64 * 1024);
  int err = 0;
  for (;;) {
    std::size_t got = 0;
    err = platform::FileRead(file, buffer.data(), buffer.size(), &got);
    if (err != 0 || got == 0) break;
    sha.Update(buffer.data(), got);
  }
  platform::FileClose(file);
  if (err == 0) *hex = sha.HexDigest();
  return err;
}

}  // namespace station
