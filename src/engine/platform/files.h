#pragma once

// The files seam: the few file operations the engine needs, with one POSIX
// side (files_posix.cpp) and one Windows side (files_win.cpp).
//
// Error convention, the same on both sides: an operation that fails returns
// false (or kNoFile) and leaves a Windows system error number for LastError()
// of the calling thread, e.g. 2 (file not found) or 5 (access denied). The
// POSIX side maps errno onto those numbers.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::files {

// An open file. On Windows this is the HANDLE value, so the automation layer
// may wrap a handle it opened itself; on POSIX it is the file descriptor.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Windows system error numbers used by both sides.
enum FileError : uint32_t {
  kErrorNone = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorGeneralFailure = 31,
  kErrorSharingViolation = 32,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorFilenameTooLong = 206,
};

// Opens an existing file for reading; others may read it at the same time.
FileHandle OpenForRead(const std::string& path);

// Creates a file for writing, replacing (truncating) an existing one. The
// file is not shared while it is open.
FileHandle CreateForWrite(const std::string& path);

// Opens a file for appending, creating it when it does not exist; every
// write goes to its end. Others may read and append at the same time.
FileHandle OpenForAppend(const std::string& path);

// Reads up to `capacity` bytes. Returns false on failure; `*got` is 0 at the
// end of the file.
bool Read(FileHandle file, void* buffer, size_t capacity, size_t* got);

// Writes every byte of the run (a short write is continued).
bool Write(FileHandle file, const void* bytes, size_t length);

// Size of the file in bytes.
bool Size(FileHandle file, uint64_t* size);

// Moves the file position to the start of the file.
bool SeekToStart(FileHandle file);

// Moves the file position by `delta` bytes from where it stands.
bool SeekBy(FileHandle file, int64_t delta);

// Closes the handle; kNoFile is ignored.
void Close(FileHandle file);

// Creates a new empty file with a unique name in the temporary directory and
// gives its full path. The name starts with `prefix` (the Windows side uses
// only its first three characters, as the platform does).
bool MakeTempFile(const std::string& prefix, std::string* path);

// Makes `length` bytes the whole content of the file at `path`, so that the
// file is either the old one or the complete new one, never half-written:
// the bytes go to a new file beside it (same folder, so the same volume),
// are flushed, and only then does that file replace the old one. On failure
// the new file is removed and the old one, if any, is as it was.
bool WriteWholeFile(const std::string& path, const void* bytes, size_t length);

// Deletes a file by name.
bool Remove(const std::string& path);

// The error number of the last failed operation on this thread.
uint32_t LastError();

}  // namespace vesk::files
