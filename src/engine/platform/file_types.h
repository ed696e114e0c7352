#pragma once

// The file-types seam: what the system knows about a file extension, and how
// its narrow (ANSI) text splits into characters.

#include <string>
#include <string_view>

namespace vesk {

// The content type registered for an extension (given with its dot, such as
// ".pdf"), as "type/subtype"; false when the system has none. Windows reads
// the "Content Type" value of HKEY_CLASSES_ROOT\<extension>, for reading only;
// elsewhere a small built-in table answers.
bool ContentTypeForExtension(std::string_view extension, std::string& content_type);

// True when the byte starts a two-byte character of the ANSI code page (so
// the byte after it is never a separator of its own).
bool IsAnsiLeadByte(unsigned char byte);

}  // namespace vesk
