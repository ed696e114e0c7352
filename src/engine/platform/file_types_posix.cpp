#include "engine/platform/file_types.h"

namespace vesk {

// No system registry of types here: the built-in table answers alone.
bool ContentTypeForExtension(std::string_view extension, std::string& content_type) {
  return WellKnownContentType(extension, content_type);
}

}  // namespace vesk
