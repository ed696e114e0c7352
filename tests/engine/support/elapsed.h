#pragma once

#include <chrono>

namespace vesk::testing {

// Milliseconds since `start`, for the generous bounds of time-out tests.
inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vesk::testing
