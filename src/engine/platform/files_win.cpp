// Windows side of the files seam (see files.h for the error convention).
// Names are UTF-8 and go to the wide functions, so that a path keeps every
// character whatever the ANSI code page of the system.

#include "engine/platform/windows_support.h"

#include <algorithm>
#include <string>

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

std::wstring Wide(const std::string& path) {
  if (path.empty()) return {};
  const int length = static_cast<int>(path.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, path.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
  if (needed > 0) ::MultiByteToWideChar(CP_UTF8, 0, path.data(), length, wide.data(), needed);
  return wide;
}

std::string Utf8(const wchar_t* path) {
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return {};
  std::string text(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, path, -1, text.data(), needed, nullptr, nullptr);
  text.resize(static_cast<size_t>(needed - 1));
  return text;
}

// ReadFile and WriteFile take 32-bit counts; larger runs go in pieces.
constexpr size_t kMaxPiece = 1u << 30;

}  // namespace

FileHandle OpenForRead(const std::string& path) {
  HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

FileHandle CreateForWrite(const std::string& path) {
  HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

FileHandle OpenForAppend(const std::string& path) {
  HANDLE handle = ::CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0) return Fail();
  if (length > MAX_PATH) return Fail(kErrorFilenameTooLong);
  wchar_t name[MAX_PATH + 1];
  if (::GetTempFileNameW(folder, Wide(prefix).c_str(), 0, name) == 0) return Fail();
  path->assign(Utf8(name));
  return true;
}

bool WriteWholeFile(const std::string& path, const void* bytes, size_t length) {
  const size_t slash = path.find_last_of("\\/");
  const std::wstring folder = slash == std::string::npos ? L"." : Wide(path.substr(0, slash + 1));
  wchar_t temp[MAX_PATH];
  if (!::GetTempFileNameW(folder.c_str(), L"vsk", 0, temp)) return Fail();
  HANDLE handle = ::CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail();
    ::DeleteFileW(temp);
    return false;
  }
  bool written = Write(reinterpret_cast<FileHandle>(handle), bytes, length);
  if (written && !::FlushFileBuffers(handle)) written = Fail();
  ::CloseHandle(handle);
  if (written && ::MoveFileExW(temp, Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (written) Fail();
  const uint32_t error = last_error;
  ::DeleteFileW(temp);
  return Fail(error);
}

bool Remove(const std::string& path) {
  if (!::DeleteFileW(Wide(path).c_str())) return Fail();
  return true;
}

uint32_t LastError() { return last_error; }

}  // namespace vesk::files
