#include "engine/common/messages.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

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
