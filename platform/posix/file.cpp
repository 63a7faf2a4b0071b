#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace platform {

struct File {
  int fd = -1;
};

namespace {

int Wrap(int fd, File** file) {
  auto* f = new (std::nothrow) File;
  if (!f) {
    close(fd);
    return ENOMEM;
  }
  f->fd = fd;
  *file = f;
  return 0;
}

// Only regular files: a FIFO would block the open (or every write) until
// some other program joins it. O_NONBLOCK keeps the open itself from
// waiting; it means nothing to a regular file.
int RequireRegular(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  return 0;
}

}  // namespace

int FileOpenRead(const char* path, File** file) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  if (const int err = RequireRegular(fd)) {
    close(fd);
    return err;
  }
  return Wrap(fd, file);
}

int FileSize(File* file, std::uint32_t* size) {
  struct stat st{};
  if (fstat(file->fd, &st) != 0) return errno;
  if (st.st_size < 0 || st.st_size > 0xFFFFFFFFll) return EFBIG;
  *size = static_cast<std::uint32_t>(st.st_size);
  return 0;
}

int FileRead(File* file, void* buffer, std::size_t n, std::size_t* got) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = read(file->fd, static_cast<char*>(buffer) + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return errno;
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  *got = done;
  return 0;
}

// Opens (creating) a regular file for appending with `access`, held with an
// exclusive advisory lock; another holder makes it EBUSY.
static int OpenAppendLocked(const char* path, int access, File** file) {
  const int fd = open(path, access | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return errno;
  if (const int err = RequireRegular(fd)) {
    close(fd);
    return err;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = (errno == EWOULDBLOCK) ? EBUSY : errno;
    close(fd);
    return err;
  }
  return Wrap(fd, file);
}

int FileOpenAppendExclusive(const char* path, File** file) {
  return OpenAppendLocked(path, O_WRONLY, file);
}

int FileOpenReplace(const char* path, File** file) {
  // No O_TRUNC: only a file that proved regular is emptied. A FIFO without
  // a reader refuses a non-blocking write-only open at once (ENXIO).
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return errno;
  int err = RequireRegular(fd);
  if (err == 0 && ftruncate(fd, 0) != 0) err = errno;
  if (err != 0) {
    close(fd);
    return err;
  }
  return Wrap(fd, file);
}

int FileAppend(File* file, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t r = write(file->fd, p, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) return EIO;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return 0;
}

int FileOpenRecords(const char* path, File** file) { return OpenAppendLocked(path, O_RDWR, file); }

int FileReadAt(File* file, std::uint32_t offset, void* buffer, std::size_t n, std::size_t* got) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = pread(file->fd, static_cast<char*>(buffer) + done, n - done,
                            off_t(offset) + off_t(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return errno;
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  *got = done;
  return 0;
}

int FileAppendOnce(File* file, const void* data, std::size_t n) {
  ssize_t r;
  do {
    r = write(file->fd, data, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  if (static_cast<std::size_t>(r) == n) return 0;
  // Cut short (a full disk, a file-size limit): the rest says why.
  const ssize_t rest = write(file->fd, static_cast<const char*>(data) + r, n - std::size_t(r));
  return rest < 0 ? errno : EIO;
}

int FileTruncate(File* file, std::uint32_t size) {
  while (ftruncate(file->fd, off_t(size)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void FileClose(File* file) {
  if (!file) return;
  if (file->fd >= 0) close(file->fd);
  delete file;
}

}  // namespace platform
