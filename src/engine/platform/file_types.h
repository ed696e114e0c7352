#pragma once

// The file-types seam: what the system knows about a file extension.

#include <string>
#include <string_view>

namespace vesk {

// The content type registered for an extension (UTF-8, given with its dot,
// such as ".pdf"), as "type/subtype"; false when the system has none. Windows reads
// the "Content Type" value of HKEY_CLASSES_ROOT\<extension>, for reading only;
// elsewhere a small built-in table answers.
bool ContentTypeForExtension(std::string_view extension, std::string& content_type);

}  // namespace vesk
