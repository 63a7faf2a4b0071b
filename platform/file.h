// Plain files: reading a data file whole, and an append-only log file.
//
// All functions return 0 for success or the platform's error code
// (platform/error.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace platform {

struct File;  // opaque

// Every open takes regular files only: anything else (a FIFO, a device, a
// directory) fails without waiting in the open and is left as it is.
//
// Opens an existing file for reading (others may read it too).
int FileOpenRead(const char* path, File** file);
// The file's size in bytes. Files of 4 GiB or more fail as
// Failure::kTooLarge (platform/error.h).
int FileSize(File* file, std::uint32_t* size);
// Reads up to n bytes from the current position; *got is what was read
// (short only at the end of the file). Retries interrupted reads.
int FileRead(File* file, void* buffer, std::size_t n, std::size_t* got);

// Opens a log file for appending, creating it when missing, never
// truncating it. Only one process at a time may hold it: a file that another
// process holds fails as Failure::kBusy. Others may still read it.
int FileOpenAppendExclusive(const char* path, File** file);
// Opens a file for writing from its start, creating it when missing and
// emptying it when it exists. Written with FileAppend.
int FileOpenReplace(const char* path, File** file);
// Writes all n bytes at the end of the file in one call, so that the bytes
// of one call are never interleaved with those of another. Returns the
// error of a failed or short write.
int FileAppend(File* file, const void* data, std::size_t n);

// A file of records that must never hold a partial one (the station's
// report): opened as FileOpenAppendExclusive does, and readable as well, so
// that its head and its last byte can be checked before a record is added.
int FileOpenRecords(const char* path, File** file);
// Reads up to n bytes at offset, without moving where writes go; *got is
// what was read (short at the end of the file).
int FileReadAt(File* file, std::uint32_t offset, void* buffer, std::size_t n, std::size_t* got);
// Writes the n bytes at the end of the file with one write call. A write
// that the system cut short fails (with the error of the rest, where the
// system gives one): the caller takes the piece back out with FileTruncate.
int FileAppendOnce(File* file, const void* data, std::size_t n);
// Cuts the file to size bytes.
int FileTruncate(File* file, std::uint32_t size);

void FileClose(File* file);

// Whether a file name (one component of a path) is one the system keeps
// for a device in every folder, so that no file or folder can take it:
// on Windows CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, in any case
// and with any extension; on POSIX none.
bool FileNameReservedForDevice(const char* name);

}  // namespace platform
