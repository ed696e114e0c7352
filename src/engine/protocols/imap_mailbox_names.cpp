#include "engine/protocols/imap_mailbox_names.h"

namespace vesk {

std::string MapSeparator(std::string_view name, std::string_view from, std::string_view to) {
  std::string mapped(name);
  if (from.empty() || to.empty()) return mapped;
  for (char& c : mapped) {
    if (c == from.front()) c = to.front();
  }
  return mapped;
}

}  // namespace vesk
