// The media types every system should know, for the systems that do not
// (a fresh Windows without a PDF reader registers no type for ".pdf").
// Types as IANA registers them; the Office formats as their maker does.

#include "engine/common/ascii.h"
#include "engine/platform/file_types.h"

namespace vesk {

bool WellKnownContentType(std::string_view extension, std::string& content_type) {
  static constexpr struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".txt", "text/plain"},
      {".log", "text/plain"},
      {".htm", "text/html"},
      {".html", "text/html"},
      {".css", "text/css"},
      {".csv", "text/csv"},
      {".tsv", "text/tab-separated-values"},
      {".ics", "text/calendar"},
      {".vcf", "text/vcard"},
      {".md", "text/markdown"},
      {".xml", "text/xml"},
      {".json", "application/json"},
      {".js", "text/javascript"},
      {".pdf", "application/pdf"},
      {".rtf", "application/rtf"},
      {".zip", "application/zip"},
      {".gz", "application/gzip"},
      {".7z", "application/x-7z-compressed"},
      {".doc", "application/msword"},
      {".dot", "application/msword"},
      {".xls", "application/vnd.ms-excel"},
      {".ppt", "application/vnd.ms-powerpoint"},
      {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {".odt", "application/vnd.oasis.opendocument.text"},
      {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
      {".odp", "application/vnd.oasis.opendocument.presentation"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".bmp", "image/bmp"},
      {".tif", "image/tiff"},
      {".tiff", "image/tiff"},
      {".svg", "image/svg+xml"},
      {".webp", "image/webp"},
      {".ico", "image/vnd.microsoft.icon"},
      {".eml", "message/rfc822"},
      {".wav", "audio/wav"},
      {".mp3", "audio/mpeg"},
      {".mp4", "video/mp4"},
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
