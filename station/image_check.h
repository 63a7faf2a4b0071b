// The image, checked once before any port is touched: the check and the
// texts that tonecast shows for it.
#pragma once

#include <cstdint>
#include <string>

namespace station {

// Checks the image for the flash size (Mbit). True when it passed, with
// *size its size; else *errors holds tonecast's console text for the
// problems ("\nError : Check sum NG. \n" ...).
bool CheckImage(const std::string& path, int flash, std::uint32_t* size, std::string* errors);

}  // namespace station
