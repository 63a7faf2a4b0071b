// The VP data file of the run: the flash-size option, the check of the file
// named on the command line, and loading it again for sending.
#pragma once

#include <cstdint>

namespace tonecast {

constexpr int kNameSize = 260;   // name and option fields, terminator included
constexpr int kDataFileCount = 1;

struct DataFileEntry {
  char name[kNameSize];
  std::uint32_t size;
  std::uint32_t valid;
};

// FlashSize codes.
constexpr int FLASH_16M = 16;
constexpr int FLASH_8M = 8;
constexpr int FLASH_ILLEGAL = 255;

extern DataFileEntry g_data_files[kDataFileCount];
// The flash-size option as typed (the last one on the command line).
extern char g_option_text[kNameSize];
// The image read for sending, or null. Released only by ReleaseLoadedData.
extern std::uint8_t* g_loaded_data;

// Empties the data file table and the option, and releases a loaded image.
void InitDataFiles();
// Frees the loaded image (if any) and leaves g_loaded_data null.
void ReleaseLoadedData();

// 16 for "-16M", 8 for "-8M", 255 otherwise; upper-cases an 'm' at
// positions 3 and 2 in place first (text starting with '-' only).
int DecodeFlashSize(char* text);
// 1 when the file of entry index passed every check; else 0, each failure
// reported. Prints the file's status line when the checksum is good.
int CheckDataFile(int index);
// Releases an image loaded before. 0: g_loaded_data holds the file's size
// bytes (the caller frees it with ReleaseLoadedData); 1: the file could not be opened or read (reported);
// -1: no memory (not reported).
int LoadDataFile(const char* name, std::uint32_t size);

}  // namespace tonecast
