// POSIX side of the files seam (see files.h for the error convention).

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "engine/platform/files.h"

namespace vesk::files {
namespace {

thread_local uint32_t last_error = kErrorNone;

uint32_t WindowsErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    default: return kErrorGeneralFailure;
  }
}

bool Fail() {
  last_error = WindowsErrorFromErrno(errno);
  return false;
}

bool Fail(uint32_t error) {
  last_error = error;
  return false;
}

int Descriptor(FileHandle file) { return static_cast<int>(file); }

}  // namespace

FileHandle OpenForRead(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kNoFile;
  }
  // Windows refuses to open a folder as a file; do the same here so that the
  // failure shows at the open and not at the first read.
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    Fail(kErrorAccessDenied);
    return kNoFile;
  }
  return fd;
}

FileHandle CreateForWrite(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kNoFile;
  }
  return fd;
}

FileHandle OpenForAppend(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kNoFile;
  }
  return fd;
}

bool Read(FileHandle file, void* buffer, size_t capacity, size_t* got) {
  *got = 0;
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  ssize_t n;
  do {
    n = ::read(Descriptor(file), buffer, capacity);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail();
  *got = static_cast<size_t>(n);
  return true;
}

bool Write(FileHandle file, const void* bytes, size_t length) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  const char* next = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t n = ::write(Descriptor(file), next, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    next += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool Size(FileHandle file, uint64_t* size) {
  struct stat info;
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  if (::fstat(Descriptor(file), &info) != 0) return Fail();
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool SeekToStart(FileHandle file) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  if (::lseek(Descriptor(file), 0, SEEK_SET) < 0) return Fail();
  return true;
}

bool SeekBy(FileHandle file, int64_t delta) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  if (::lseek(Descriptor(file), static_cast<off_t>(delta), SEEK_CUR) < 0) return Fail();
  return true;
}

void Close(FileHandle file) {
  if (file != kNoFile) ::close(Descriptor(file));
}

bool MakeTempFile(const std::string& prefix, std::string* path) {
  const char* folder = ::getenv("TMPDIR");
  std::string pattern = (folder && *folder) ? folder : "/tmp";
  if (pattern.back() != '/') pattern += '/';
  pattern += prefix;
  pattern += "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return Fail();
  ::close(fd);
  path->assign(name.data());
  return true;
}

bool WriteWholeFile(const std::string& path, const void* bytes, size_t length) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Fail();
  ::fchmod(fd, 0644);  // mkstemp's 0600 would hide the file from others
  bool written = Write(fd, bytes, length);
  if (written && ::fsync(fd) != 0) written = Fail();
  if (::close(fd) != 0 && written) written = Fail();
  if (written && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  if (written) Fail();
  const uint32_t error = last_error;
  ::unlink(temp.c_str());
  return Fail(error);
}

bool Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Fail();
  return true;
}

uint32_t LastError() { return last_error; }

}  // namespace vesk::files
