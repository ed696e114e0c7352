#include <cstring>
#include <random>

#include "engine/platform/unique_id.h"

namespace vesk {

UniqueId NewUniqueId() {
  // std::random_device reads the kernel's random source on Linux.
  static thread_local std::random_device source;
  uint32_t words[4];
  for (uint32_t& word : words) word = source();
  UniqueId id;
  static_assert(sizeof id == sizeof words);
  std::memcpy(&id, words, sizeof id);
  // RFC 4122 version 4 (random) and variant bits, as a GUID generator sets them.
  id.data3 = static_cast<uint16_t>((id.data3 & 0x0FFF) | 0x4000);
  id.data4[0] = static_cast<uint8_t>((id.data4[0] & 0x3F) | 0x80);
  return id;
}

}  // namespace vesk
