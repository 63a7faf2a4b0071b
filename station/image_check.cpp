#include "station/image_check.h"

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

}  // namespace station
