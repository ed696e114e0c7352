#pragma once

// The file-types seam: what the system knows about a file extension.

#include <string>
#include <string_view>

namespace vesk {

// The content type for an extension (UTF-8, given with its dot, such as
// ".pdf"), as "type/subtype"; false when neither the system nor the built-in
// table knows one. Windows reads the "Content Type" value of
// HKEY_CLASSES_ROOT\<extension>, for reading only, and falls back on the
// table; elsewhere the table answers alone.
bool ContentTypeForExtension(std::string_view extension, std::string& content_type);

// The built-in table of common types (documents, the Office formats, images,
// calendars, messages), letter case ignored.
bool WellKnownContentType(std::string_view extension, std::string& content_type);

}  // namespace vesk
