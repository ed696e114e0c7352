#include "engine/net/protocol_trace.h"

#include <chrono>
#include <cstdio>

#include "engine/platform/files.h"

namespace vesk {
namespace {

// "YYYY-MM-DD hh:mm:ss.mmm " in UTC.
std::string TimeStamp() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss<milliseconds> time(now - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace

void ProtocolTrace::Write(std::string_view mark, std::string_view bytes) {
  if (!enabled()) return;
  const std::string stamp = TimeStamp();
  std::string entries;
  std::size_t position = 0;
  do {
    std::size_t end = bytes.find('\n', position);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(position, end - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    entries.append(stamp).append(mark).append(" ").append(line).append("\r\n");
    position = end + 1;
  } while (position < bytes.size());
  const files::FileHandle file = files::OpenForAppend(path_);
  if (file == files::kNoFile) return;
  files::Write(file, entries.data(), entries.size());
  files::Close(file);
}

void ProtocolTrace::Sent(std::string_view bytes) { Write("C:", bytes); }
void ProtocolTrace::Received(std::string_view line) { Write("S:", line); }
void ProtocolTrace::SentBody(std::size_t count) { Write("C:", "[" + std::to_string(count) + " bytes of message]"); }
void ProtocolTrace::ReceivedBody(std::size_t count) {
  Write("S:", "[" + std::to_string(count) + " bytes of message]");
}
void ProtocolTrace::Note(std::string_view text) { Write("--", text); }

}  // namespace vesk
