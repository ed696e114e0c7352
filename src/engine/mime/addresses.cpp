#include "engine/mime/addresses.h"

#include <utility>

namespace vesk {
namespace {

// White space as the C runtime's isspace sees it in the "C" locale.
constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

bool IsWhiteSpace(char c) { return kWhiteSpace.find(c) != std::string_view::npos; }

// Walks a header text keeping track of double quotes and of the quoted pairs
// inside them (RFC 5322 section 3.2.4): a backslash inside quotes takes the
// next character literally, so an escaped quote neither opens nor closes.
class QuoteTracker {
 public:
  // Feeds text[i]; returns the index of the last character consumed, which
  // is i + 1 when text[i] began a quoted pair.
  std::size_t Step(std::string_view text, std::size_t i) {
    if (text[i] == '"') {
      quoted_ = !quoted_;
    } else if (text[i] == '\\' && quoted_ && i + 1 < text.size()) {
      return i + 1;
    }
    return i;
  }
  bool quoted() const { return quoted_; }

 private:
  bool quoted_ = false;
};

// The first "<" outside double quotes, from `start` on. A name such as
// "Doe <john>" may hold one inside its quotes. When quotes are unbalanced and
// hide every "<", the first "<" at all is taken.
std::size_t FindAngleOpen(std::string_view text, std::size_t start) {
  QuoteTracker tracker;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] == '<' && !tracker.quoted()) return i;
    i = tracker.Step(text, i);
  }
  return text.find('<', start);
}

// True when text[i] follows an odd number of backslashes, that is, when it
// is the second half of a quoted pair.
bool IsEscaped(std::string_view text, std::size_t i) {
  std::size_t backslashes = 0;
  while (i > backslashes && text[i - backslashes - 1] == '\\') ++backslashes;
  return backslashes % 2 == 1;
}

std::string WithoutQuotedPairs(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    plain.push_back(text[i]);
  }
  return plain;
}

std::string AsQuotedString(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted.push_back('"');
  for (char c : name) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string_view WithoutTrailing(std::string_view text, std::string_view characters) {
  std::size_t end = text.find_last_not_of(characters);
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

bool IsAddressCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-' || c == '.';
}

}  // namespace

std::vector<std::string> SplitAddressEntries(std::string_view text) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  QuoteTracker tracker;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ',' && !tracker.quoted()) {
      entries.emplace_back(text.substr(start, i - start));
      start = i + 1;
      if (start == text.size()) return entries;  // a trailing comma ends the list
      continue;
    }
    i = tracker.Step(text, i);
  }
  if (!text.empty()) entries.emplace_back(text.substr(start));
  return entries;
}

// An entry is "name <address>" or a bare address. The name runs from the
// first non-blank character (an opening quote skipped) to the "<", without the
// white space and closing quote at its end; the address runs from the "<" to
// the end of the entry, without trailing white space and ">". Anything after
// the ">" stays in the address, and comments are not recognised.
void AddressItem::ParseIfNeeded() {
  if (parsed_) return;
  parsed_ = true;
  if (text_.empty()) return;
  std::string_view text = text_;
  std::size_t start = text.find_first_not_of(kWhiteSpace);
  if (start == std::string_view::npos) start = text.size();
  std::size_t angle = FindAngleOpen(text, start);
  if (angle == std::string_view::npos) {
    name_.clear();
    address_ = WithoutTrailing(text.substr(start), " \t\n\v\f\r>");
    return;
  }
  const bool quoted = text[start] == '"';
  std::string_view name = text.substr(start, angle - start);
  if (quoted) name.remove_prefix(1);
  while (!name.empty()) {
    char last = name.back();
    if (!IsWhiteSpace(last) && last != '"') break;
    if (last == '"' && quoted && IsEscaped(name, name.size() - 1)) break;
    name.remove_suffix(1);
  }
  name_ = quoted ? WithoutQuotedPairs(name) : std::string(name);
  address_ = WithoutTrailing(text.substr(angle + 1), " \t\n\v\f\r>");
}

const std::string& AddressItem::Name() {
  ParseIfNeeded();
  return name_;
}

const std::string& AddressItem::Address() {
  ParseIfNeeded();
  return address_;
}

void AddressItem::SetName(std::string name) {
  ParseIfNeeded();
  name_ = std::move(name);
  modified_ = true;
}

// Text in the display-name form ("Bob <bob@example.com>") is taken apart
// as a reader takes an entry apart: the address goes to the address, and the
// name, when there is one, to the name.
void AddressItem::SetAddress(std::string address) {
  ParseIfNeeded();
  const size_t open = address.find('<');
  if (open != std::string::npos && address.find('>', open) != std::string::npos) {
    AddressItem entry(address);
    if (!entry.Address().empty()) {
      if (!entry.Name().empty()) name_ = entry.Name();
      address = entry.Address();
    }
  }
  address_ = std::move(address);
  modified_ = true;
}

const std::string& AddressItem::Text() {
  if (modified_) {
    text_ = name_.empty() ? address_ : AsQuotedString(name_) + " <" + address_ + ">";
    modified_ = false;
  }
  return text_;
}

void AddressList::SetText(std::string text) {
  text_ = std::move(text);
  split_ = false;
  modified_ = false;
  items_.clear();
  if (!text_.empty()) TellOwner();
}

void AddressList::TellOwner() {
  AddressListOwner* const owner = owner_;
  owner_ = nullptr;
  if (owner) owner->ListGainedEntries(*this);
}

bool AddressList::IsChanged() const {
  if (modified_) return true;
  if (!split_) return false;
  for (const Ref<AddressItem>& item : items_) {
    if (item->IsModified()) return true;
  }
  return false;
}

const std::string& AddressList::RenderedText() {
  if (IsChanged()) {
    text_.clear();
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (i > 0) text_ += ", ";
      text_ += items_[i]->Text();
    }
    modified_ = false;
  }
  return text_;
}

void AddressList::SplitIfNeeded() {
  if (split_) return;
  for (std::string& entry : SplitAddressEntries(text_)) {
    items_.push_back(MakeRef<AddressItem>(std::move(entry)));
  }
  split_ = true;
}

std::size_t AddressList::Count() {
  SplitIfNeeded();
  return items_.size();
}

Ref<AddressItem> AddressList::Item(std::size_t index) {
  SplitIfNeeded();
  return index < items_.size() ? items_[index] : Ref<AddressItem>();
}

Ref<AddressItem> AddressList::Add() {
  SplitIfNeeded();
  items_.push_back(MakeRef<AddressItem>());
  modified_ = true;
  Ref<AddressItem> added = items_.back();
  TellOwner();
  return added;
}

bool AddressList::Remove(std::size_t index) {
  SplitIfNeeded();
  if (index >= items_.size()) return false;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  modified_ = true;
  return true;
}

void AddressList::Clear() {
  SplitIfNeeded();
  items_.clear();
  modified_ = true;
}

bool CheckAddressSyntax(std::string_view address, AddressParts* parts) {
  if (address.size() > kMaxCheckedAddress) return false;
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos) return false;
  const std::string_view local_part = address.substr(0, at);
  const std::string_view domain = address.substr(at + 1);
  if (local_part.size() > kMaxCheckedAddressPart || domain.size() > kMaxCheckedAddressPart) {
    return false;
  }
  if (domain.size() < 5) return false;
  const std::size_t last_period = domain.rfind('.');
  if (last_period == std::string_view::npos || last_period < 3) return false;
  for (char c : local_part) {
    if (!IsAddressCharacter(c)) return false;
  }
  for (char c : domain) {
    if (!IsAddressCharacter(c)) return false;
  }
  if (parts) {
    parts->local_part.assign(local_part);
    parts->domain.assign(domain);
  }
  return true;
}

}  // namespace vesk
