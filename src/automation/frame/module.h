#pragma once

#include <mutex>
#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// Process-wide state of the DLL: its handle, the count of live objects and
// server locks that DllCanUnloadNow looks at, and the one lock that guards
// shared module state (class factories, type information).
class Module {
 public:
  static void Attach(HINSTANCE instance) { instance_ = instance; }
  static HINSTANCE Instance() { return instance_; }
  static std::wstring FilePath();

  static void AddLock() { InterlockedIncrement(&locks_); }
  static void ReleaseLock() { InterlockedDecrement(&locks_); }
  static LONG LockCount() { return locks_; }

  static std::mutex& Mutex() { return mutex_; }

 private:
  static inline HINSTANCE instance_ = nullptr;
  static inline LONG locks_ = 0;
  static inline std::mutex mutex_;
};

}  // namespace vesk::com
