#pragma once

// The unique-identifier seam: 128 random bits laid out as a GUID, from the
// platform's generator (POSIX: the kernel's random source; Windows: the GUID
// generator). Used where a value must differ between objects and runs: MIME
// boundaries and IMAP command tags.

#include <cstdint>

namespace vesk {

struct UniqueId {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

UniqueId NewUniqueId();

}  // namespace vesk
