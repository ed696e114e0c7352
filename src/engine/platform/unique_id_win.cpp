#include <cstring>

#include "engine/platform/unique_id.h"
#include "engine/platform/windows_support.h"

#include <objbase.h>

namespace vesk {

UniqueId NewUniqueId() {
  GUID guid{};
  CoCreateGuid(&guid);
  UniqueId id;
  static_assert(sizeof id == sizeof guid);
  std::memcpy(&id, &guid, sizeof id);
  return id;
}

}  // namespace vesk
