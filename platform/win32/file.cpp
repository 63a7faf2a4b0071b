// Plain files on Windows: handles from CreateFileW, no C runtime buffers
// and no text-mode translation (the run log is LF only). Paths arrive as
// UTF-8 and are opened by their UTF-16 form, so any name a user can type
// opens (the ANSI functions would turn characters outside the ANSI code
// page into '?' or a best-fit look-alike, which may even name another file).
#include "platform/file.h"

#include <windows.h>

#include <new>
#include <string>

#include "platform/win32/last_error.h"
#include "platform/win32/text.h"

namespace platform {

using win32::LastError;

struct File {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

// Only files on a disk: a console, a device or a pipe is refused. Every open
// asks for FILE_READ_ATTRIBUTES, which GetFileInformationByHandle needs. CreateFileW
// itself never waits for the other end of a pipe (a busy one fails with
// ERROR_PIPE_BUSY), so the refusal comes at once.
int RequireRegular(HANDLE h) {
  if (GetFileType(h) != FILE_TYPE_DISK) return ErrorCode(Failure::kInvalid);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return LastError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
  return 0;
}

int Open(const char* path, DWORD access, DWORD share, DWORD disposition, File** file) {
  if (!path || !file) return ErrorCode(Failure::kInvalid);
  std::wstring wide;
  if (const int err = win32::WideFromUtf8(path, &wide)) return err;
  const HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  if (const int err = RequireRegular(h)) {
    CloseHandle(h);
    return err;
  }
  auto* f = new (std::nothrow) File;
  if (!f) {
    CloseHandle(h);
    return ErrorCode(Failure::kNoResources);
  }
  f->handle = h;
  *file = f;
  return 0;
}

}  // namespace

int FileOpenRead(const char* path, File** file) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, file);
}

int FileSize(File* file, std::uint32_t* size) {
  if (!file || !size) return ErrorCode(Failure::kInvalid);
  LARGE_INTEGER s;
  if (!GetFileSizeEx(file->handle, &s)) return LastError();
  if (s.QuadPart < 0 || s.QuadPart > 0xFFFFFFFFll) return ErrorCode(Failure::kTooLarge);
  *size = static_cast<std::uint32_t>(s.QuadPart);
  return 0;
}

int FileRead(File* file, void* buffer, std::size_t n, std::size_t* got) {
  std::size_t done = 0;
  while (done < n) {
    const std::size_t left = n - done;
    const DWORD ask = left > 0x40000000u ? 0x40000000u : DWORD(left);
    DWORD r = 0;
    if (!ReadFile(file->handle, static_cast<char*>(buffer) + done, ask, &r, nullptr)) {
      *got = done;
      return LastError();
    }
    if (r == 0) break;
    done += r;
  }
  *got = done;
  return 0;
}

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of
// the file, as one piece. Sharing only reading makes a second writer fail
// with ERROR_SHARING_VIOLATION while others may still read the log.
int FileOpenAppendExclusive(const char* path, File** file) {
  return Open(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
              OPEN_ALWAYS, file);
}

int FileOpenReplace(const char* path, File** file) {
  // Not CREATE_ALWAYS: only a file that proved regular is emptied.
  // FILE_READ_ATTRIBUTES: the regular-file check reads the attributes.
  if (const int err =
          Open(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, OPEN_ALWAYS, file))
    return err;
  if (!SetEndOfFile((*file)->handle)) {
    const int err = LastError();
    FileClose(*file);
    *file = nullptr;
    return err;
  }
  return 0;
}

int FileAppend(File* file, const void* data, std::size_t n) {
  if (!file) return ErrorCode(Failure::kNotOpen);
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const DWORD ask = n > 0x40000000u ? 0x40000000u : DWORD(n);
    DWORD w = 0;
    if (!WriteFile(file->handle, p, ask, &w, nullptr)) return LastError();
    if (w == 0) return ErrorCode(Failure::kIo);
    p += w;
    n -= w;
  }
  return 0;
}

// Reading and cutting need FILE_READ_DATA and FILE_WRITE_DATA; with the
// latter a write goes where the file pointer stands, so each write is
// placed at the end by its offset (0xFFFFFFFF twice: the end of the file).
// Sharing only reading keeps every other writer out, as for the log.
int FileOpenRecords(const char* path, File** file) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, file);
}

int FileReadAt(File* file, std::uint32_t offset, void* buffer, std::size_t n, std::size_t* got) {
  if (!file || !got) return ErrorCode(Failure::kInvalid);
  std::size_t done = 0;
  while (done < n) {
    const std::size_t left = n - done;
    OVERLAPPED at{};
    const unsigned long long position = std::uint64_t(offset) + done;
    at.Offset = DWORD(position & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(position >> 32);
    DWORD r = 0;
    if (!ReadFile(file->handle, static_cast<char*>(buffer) + done,
                  left > 0x40000000u ? 0x40000000u : DWORD(left), &r, &at)) {
      const int err = LastError();
      *got = done;
      return err == ERROR_HANDLE_EOF ? 0 : err;
    }
    if (r == 0) break;
    done += r;
  }
  *got = done;
  return 0;
}

int FileAppendOnce(File* file, const void* data, std::size_t n) {
  if (!file) return ErrorCode(Failure::kNotOpen);
  if (n > 0x40000000u) return ErrorCode(Failure::kTooLarge);
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFFu;
  at.OffsetHigh = 0xFFFFFFFFu;
  DWORD w = 0;
  if (!WriteFile(file->handle, data, DWORD(n), &w, &at)) return LastError();
  return w == n ? 0 : ErrorCode(Failure::kIo);
}

int FileTruncate(File* file, std::uint32_t size) {
  if (!file) return ErrorCode(Failure::kNotOpen);
  LARGE_INTEGER to;
  to.QuadPart = size;
  if (!SetFilePointerEx(file->handle, to, nullptr, FILE_BEGIN)) return LastError();
  if (!SetEndOfFile(file->handle)) return LastError();
  return 0;
}

void FileClose(File* file) {
  if (!file) return;
  if (file->handle != INVALID_HANDLE_VALUE) CloseHandle(file->handle);
  delete file;
}

}  // namespace platform
