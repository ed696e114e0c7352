#include "engine/common/error_texts.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

namespace vesk {
namespace {

struct MessageEntry {
  int id;
  const char* text;
};

constexpr MessageEntry kMessages[] = {
#include "messages_table.inc"
};

}  // namespace

const char* FindMessageText(int id) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

std::string MessageText(int id) {
  const char* text = FindMessageText(id);
  return text ? text : "Unknown Error";
}

namespace {

// Whether `text` is `format` with its conversions (%s, %d, %u and the like)
// filled in: the stretches of literal text between them follow in order, the
// first at the start and the last at the end. `literal` counts the literal
// characters, so that the most specific of several matching formats wins.
bool FilledFrom(std::string_view format, std::string_view text, size_t& literal) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      pieces.back() += format[i];
    } else if (i + 1 < format.size() && format[i + 1] == '%') {
      pieces.back() += '%';
      ++i;
    } else {
      // "%", flags, width and length, then the conversion's letter.
      ++i;
      while (i < format.size() && std::strchr("-+ #0123456789.lhz", format[i])) ++i;
      pieces.emplace_back();
    }
  }
  literal = 0;
  for (const std::string& piece : pieces) literal += piece.size();
  if (pieces.size() == 1) return text == pieces.front();
  if (!text.starts_with(pieces.front()) || !text.ends_with(pieces.back())) return false;
  size_t at = pieces.front().size();
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    at = text.find(pieces[i], at);
    if (at == std::string_view::npos) return false;
    at += pieces[i].size();
  }
  return at + pieces.back().size() <= text.size();
}

}  // namespace

int MessageIdOfText(std::string_view text) {
  if (text.empty()) return 0;
  int best = kMsgServerWords;
  size_t best_literal = 0;
  for (const MessageEntry& entry : kMessages) {
    size_t literal = 0;
    if (entry.id != kMsgServerWords && FilledFrom(entry.text, text, literal) && literal > best_literal) {
      best = entry.id;
      best_literal = literal;
    }
  }
  return best;
}

std::string FormatMessageText(int id, ...) {
  const std::string format = MessageText(id);
  va_list args;
  va_start(args, id);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format.c_str(), copy);
  va_end(copy);
  std::string result;
  if (needed > 0) {
    result.resize(static_cast<size_t>(needed));
    std::vsnprintf(result.data(), result.size() + 1, format.c_str(), args);
  }
  va_end(args);
  return result;
}

}  // namespace vesk
