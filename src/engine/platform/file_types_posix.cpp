#include <cstring>

#include "engine/common/ascii.h"
#include "engine/platform/file_types.h"

namespace vesk {

bool ContentTypeForExtension(std::string_view extension, std::string& content_type) {
  static constexpr struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".txt", "text/plain"},        {".htm", "text/html"},          {".html", "text/html"},
      {".css", "text/css"},          {".csv", "text/csv"},           {".xml", "text/xml"},
      {".gif", "image/gif"},         {".jpg", "image/jpeg"},         {".jpeg", "image/jpeg"},
      {".png", "image/png"},         {".bmp", "image/bmp"},          {".pdf", "application/pdf"},
      {".zip", "application/zip"},   {".doc", "application/msword"}, {".rtf", "application/rtf"},
      {".eml", "message/rfc822"},    {".wav", "audio/wav"},          {".mp3", "audio/mpeg"},
  };
  for (const auto& entry : kTypes) {
    if (EqualsIgnoringAsciiCase(extension, entry.extension)) {
      content_type = entry.type;
      return true;
    }
  }
  return false;
}

}  // namespace vesk
