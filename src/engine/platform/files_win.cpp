// Windows side of the files seam (see files.h for the error convention).
// Names are narrow text in the ANSI code page, so the ...A functions are used.

#include "engine/platform/windows_support.h"

#include <algorithm>

#include "engine/platform/files.h"

namespace vesk::files {
namespace {

thread_local uint32_t last_error = kErrorNone;

bool Fail() {
  last_error = ::GetLastError();
  if (last_error == kErrorNone) last_error = kErrorGeneralFailure;
  return false;
}

bool Fail(uint32_t error) {
  last_error = error;
  return false;
}

HANDLE Win(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// ReadFile and WriteFile take 32-bit counts; larger runs go in pieces.
constexpr size_t kMaxPiece = 1u << 30;

}  // namespace

FileHandle OpenForRead(const std::string& path) {
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

FileHandle CreateForWrite(const std::string& path) {
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

FileHandle OpenForAppend(const std::string& path) {
  HANDLE handle = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

bool Read(FileHandle file, void* buffer, size_t capacity, size_t* got) {
  *got = 0;
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  DWORD n = 0;
  if (!::ReadFile(Win(file), buffer, static_cast<DWORD>(std::min(capacity, kMaxPiece)), &n, nullptr)) {
    return Fail();
  }
  *got = n;
  return true;
}

bool Write(FileHandle file, const void* bytes, size_t length) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  const char* next = static_cast<const char*>(bytes);
  while (length > 0) {
    DWORD n = 0;
    if (!::WriteFile(Win(file), next, static_cast<DWORD>(std::min(length, kMaxPiece)), &n, nullptr)) {
      return Fail();
    }
    if (n == 0) return Fail(kErrorDiskFull);
    next += n;
    length -= n;
  }
  return true;
}

bool Size(FileHandle file, uint64_t* size) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(Win(file), &value)) return Fail();
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool SeekToStart(FileHandle file) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!::SetFilePointerEx(Win(file), zero, nullptr, FILE_BEGIN)) return Fail();
  return true;
}

bool SeekBy(FileHandle file, int64_t delta) {
  if (file == kNoFile) return Fail(kErrorInvalidHandle);
  LARGE_INTEGER move;
  move.QuadPart = delta;
  if (!::SetFilePointerEx(Win(file), move, nullptr, FILE_CURRENT)) return Fail();
  return true;
}

void Close(FileHandle file) {
  if (file != kNoFile) ::CloseHandle(Win(file));
}

bool MakeTempFile(const std::string& prefix, std::string* path) {
  char folder[MAX_PATH + 1];
  const DWORD length = ::GetTempPathA(sizeof folder, folder);
  if (length == 0) return Fail();
  if (length > sizeof folder) return Fail(kErrorFilenameTooLong);
  char name[MAX_PATH + 1];
  if (::GetTempFileNameA(folder, prefix.c_str(), 0, name) == 0) return Fail();
  path->assign(name);
  return true;
}

bool WriteWholeFile(const std::string& path, const void* bytes, size_t length) {
  const size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char temp[MAX_PATH];
  if (!::GetTempFileNameA(folder.c_str(), "vsk", 0, temp)) return Fail();
  HANDLE handle = ::CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    ::DeleteFileA(temp);
    return false;
  }
  bool written = Write(reinterpret_cast<FileHandle>(handle), bytes, length);
  if (written && !::FlushFileBuffers(handle)) written = Fail();
  ::CloseHandle(handle);
  if (written && ::MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  if (written) Fail();
  const uint32_t error = last_error;
  ::DeleteFileA(temp);
  return Fail(error);
}

bool Remove(const std::string& path) {
  if (!::DeleteFileA(path.c_str())) return Fail();
  return true;
}

uint32_t LastError() { return last_error; }

}  // namespace vesk::files
