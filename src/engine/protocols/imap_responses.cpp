#include "engine/protocols/imap_responses.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>

#include "engine/common/ascii.h"

namespace vesk {
namespace {

struct FlagName {
  std::int32_t bit;
  std::string_view word;        // as stored and fetched
  std::string_view search_set;  // SEARCH keyword when the bit is set
  std::string_view search_clear;
};

// The system flags in bit order (RFC 3501 section 2.3.2); \Recent is last and
// may only be read.
constexpr FlagName kFlags[] = {
    {kImapFlagSeen, "\\Seen", "SEEN", "UNSEEN"},
    {kImapFlagAnswered, "\\Answered", "ANSWERED", "UNANSWERED"},
    {kImapFlagFlagged, "\\Flagged", "FLAGGED", "UNFLAGGED"},
    {kImapFlagDeleted, "\\Deleted", "DELETED", "UNDELETED"},
    {kImapFlagDraft, "\\Draft", "DRAFT", "UNDRAFT"},
    {kImapFlagRecent, "\\Recent", "", ""},
};

constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// Characters that end an atom or make a text need quoting (RFC 3501 section 9,
// atom-specials; "]" is allowed in an astring).
bool IsAtomSpecial(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7F) return true;
  switch (c) {
    case ' ': case '"': case '\\': case '(': case ')': case '{': case '}': case '%': case '*':
      return true;
    default:
      return false;
  }
}

// Reads the values of one response from left to right: atoms, NIL, quoted
// strings, literals (matched by position against the response's literal
// announcements) and parenthesized lists.
class ValueReader {
 public:
  explicit ValueReader(const ImapResponse& response) : response_(response), text_(response.text) {}

  std::size_t position() const { return position_; }
  bool AtEnd() const { return position_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[position_]; }

  void Skip(std::size_t count) { position_ = std::min(text_.size(), position_ + count); }

  void SkipBlanks() {
    while (!AtEnd() && IsSpaceOrTab(text_[position_])) ++position_;
  }

  // Consumes `word` (letters without regard to case) when it comes next.
  bool Accept(std::string_view word) {
    if (!StartsWithIgnoringCase(text_.substr(position_), word)) return false;
    position_ += word.size();
    return true;
  }

  // A fetch item name: up to a blank or ")", with "[...]" taken whole, so that
  // "BODY[HEADER.FIELDS (FROM TO)]<0>" is one name.
  std::string ReadItemName() {
    const std::size_t start = position_;
    int brackets = 0;
    while (!AtEnd()) {
      const char c = text_[position_];
      if (c == '[') ++brackets;
      if (c == ']' && brackets > 0) --brackets;
      if (brackets == 0 && (IsSpaceOrTab(c) || c == ')' || c == '(')) break;
      ++position_;
    }
    return std::string(text_.substr(start, position_ - start));
  }

  bool ReadValue(ImapFetchItem::Kind& kind, std::string& value) {
    value.clear();
    const char c = Peek();
    if (c == '"') {
      kind = ImapFetchItem::Kind::kString;
      return ReadQuoted(value);
    }
    if (c == '{' && response_.TakeLiteral(position_, value)) {
      kind = ImapFetchItem::Kind::kString;
      return true;
    }
    if (c == '(') {
      kind = ImapFetchItem::Kind::kList;
      return ReadList(value);
    }
    const std::size_t start = position_;
    while (!AtEnd() && !IsSpaceOrTab(text_[position_]) && text_[position_] != ')') ++position_;
    if (position_ == start) return false;
    value.assign(text_.substr(start, position_ - start));
    kind = EqualsIgnoringAsciiCase(value, "NIL") ? ImapFetchItem::Kind::kNil : ImapFetchItem::Kind::kAtom;
    return true;
  }

 private:
  bool ReadQuoted(std::string& value) {
    ++position_;  // the opening quote
    while (!AtEnd()) {
      char c = text_[position_++];
      if (c == '"') return true;
      if (c == '\\' && !AtEnd()) c = text_[position_++];
      value.push_back(c);
    }
    return false;  // no closing quote
  }


  // The inside of a parenthesized list, nested lists and quoted strings
  // skipped whole.
  bool ReadList(std::string& value) {
    const std::size_t start = ++position_;
    int depth = 1;
    bool quoted = false;
    while (!AtEnd()) {
      const char c = text_[position_++];
      if (quoted) {
        if (c == '\\' && !AtEnd()) ++position_;
        else if (c == '"') quoted = false;
      } else if (c == '"') {
        quoted = true;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        value.assign(text_.substr(start, position_ - 1 - start));
        return true;
      }
    }
    return false;
  }

  const ImapResponse& response_;
  std::string_view text_;
  std::size_t position_ = 0;
};

// Reads "* <number> " and leaves `reader` after the blank.
bool ReadUntaggedNumber(ValueReader& reader, std::string_view text, std::int32_t& number) {
  if (!reader.Accept("* ")) return false;
  const std::string_view rest = text.substr(reader.position());
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (error != std::errc() || value > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
    return false;
  }
  reader.Skip(static_cast<std::size_t>(end - rest.data()));
  number = static_cast<std::int32_t>(value);
  return reader.Accept(" ");
}

}  // namespace

std::string ImapAstring(std::string_view text) {
  const bool atom = !text.empty() && std::none_of(text.begin(), text.end(), IsAtomSpecial);
  if (atom) return std::string(text);
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool EndsSearchAtom(char c) { return c == ' ' || c == '(' || c == ')' || c == '"'; }

}  // namespace

std::vector<std::string> SearchCommandPieces(std::string_view criteria) {
  std::vector<std::string> pieces(1);
  if (IsAscii(criteria)) {
    pieces.front().assign(criteria);
    return pieces;
  }
  constexpr std::string_view kCharset = "CHARSET ";
  if (criteria.size() < kCharset.size() || !EqualsIgnoringAsciiCase(criteria.substr(0, kCharset.size()), kCharset)) {
    pieces.front() = "CHARSET UTF-8 ";
  }
  const auto add_literal = [&pieces](std::string_view bytes) {
    pieces.back() += "{" + std::to_string(bytes.size()) + "}";
    pieces.emplace_back(bytes);
  };
  for (std::size_t at = 0; at < criteria.size();) {
    const char c = criteria[at];
    if (c == '"') {
      // A quoted string: its content with the escapes undone.
      std::string content;
      std::size_t end = at + 1;
      for (; end < criteria.size() && criteria[end] != '"'; ++end) {
        if (criteria[end] == '\\' && end + 1 < criteria.size()) ++end;
        content.push_back(criteria[end]);
      }
      end = std::min(end + 1, criteria.size());
      if (IsAscii(content)) {
        pieces.back().append(criteria.substr(at, end - at));
      } else {
        add_literal(content);
      }
      at = end;
    } else if (EndsSearchAtom(c)) {
      pieces.back().push_back(c);
      ++at;
    } else {
      std::size_t end = at;
      while (end < criteria.size() && !EndsSearchAtom(criteria[end])) ++end;
      const std::string_view atom = criteria.substr(at, end - at);
      if (IsAscii(atom)) {
        pieces.back().append(atom);
      } else {
        add_literal(atom);
      }
      at = end;
    }
  }
  return pieces;
}

std::string ServerText(std::string_view text) {
  const auto trim = [](std::string_view& t) {
    while (!t.empty() && IsSpaceOrTab(t.front())) t.remove_prefix(1);
    while (!t.empty() && IsSpaceOrTab(t.back())) t.remove_suffix(1);
  };
  trim(text);
  // "... (0.001 + 0.000 + 0.001 secs)." as Dovecot ends its replies.
  std::string_view rest = text;
  if (!rest.empty() && rest.back() == '.') rest.remove_suffix(1);
  constexpr std::string_view kSecs = " secs)";
  const std::size_t open = rest.rfind('(');
  if (rest.ends_with(kSecs) && open != std::string_view::npos) {
    const std::string_view timing = rest.substr(open + 1, rest.size() - kSecs.size() - open - 1);
    if (!timing.empty() && timing.find_first_not_of("0123456789. +") == std::string_view::npos) {
      text = rest.substr(0, open);
      trim(text);
    }
  }
  return std::string(text);
}

std::string StoreFlagList(std::int32_t bits) {
  std::string list;
  for (const FlagName& flag : kFlags) {
    if ((flag.bit & kImapStorableFlags) == 0 || (bits & flag.bit) == 0) continue;
    if (!list.empty()) list.push_back(' ');
    list.append(flag.word);
  }
  return list;
}

std::string SearchFlagCriteria(std::int32_t bits) {
  std::string criteria;
  for (const FlagName& flag : kFlags) {
    if ((flag.bit & kImapStorableFlags) == 0) continue;
    if (!criteria.empty()) criteria.push_back(' ');
    criteria.append((bits & flag.bit) != 0 ? flag.search_set : flag.search_clear);
  }
  return criteria;
}

bool FormatImapDate(int year, int month, int day, std::string& text) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > days) return false;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d", day, kMonths[month - 1].data(), year);
  text = buffer;
  return true;
}

bool StartsWithTag(std::string_view line, std::string_view tag) {
  return !tag.empty() && StartsWithIgnoringCase(line, tag);
}

LiteralAnnouncement FindLiteralAnnouncement(std::string_view line, std::uint64_t& count) {
  if (line.empty() || line.back() != '}') return LiteralAnnouncement::kNone;
  const std::size_t open = line.rfind('{');
  if (open == std::string_view::npos) return LiteralAnnouncement::kNone;
  const std::string_view digits = line.substr(open + 1, line.size() - open - 2);
  // Braces round anything but digits are text (a human-readable remark may
  // end that way); only digits announce a literal.
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) {
    return LiteralAnnouncement::kNone;
  }
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (error != std::errc() || end != digits.data() + digits.size()) return LiteralAnnouncement::kInvalid;
  return LiteralAnnouncement::kValid;
}

bool ReadCNumber(std::string_view& text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    const char after = i + 2 < text.size() ? text[i + 2] : '\0';
    if (std::isxdigit(static_cast<unsigned char>(after))) {
      base = 16;
      i += 2;
    }
  } else if (i < text.size() && text[i] == '0') {
    base = 8;
  }
  const std::size_t first_digit = i;
  long long magnitude = 0;
  constexpr long long kCap = 1LL << 32;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (IsDigit(c)) digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else break;
    if (digit >= base) break;
    magnitude = std::min(magnitude * base + digit, kCap);
  }
  if (i == first_digit) return false;
  const long long signed_value = negative ? -magnitude : magnitude;
  value = static_cast<std::int32_t>(std::clamp<long long>(signed_value, std::numeric_limits<std::int32_t>::min(),
                                                          std::numeric_limits<std::int32_t>::max()));
  text.remove_prefix(i);
  return true;
}

void ReadMailboxCounters(std::string_view line, std::int32_t& messages, std::int32_t& recent,
                         std::int32_t& first_unseen) {
  // "* 23 EXISTS", "* 2 RECENT" (RFC 3501 sections 7.3.1 and 7.3.2); the
  // upper-case words are what servers send, and a FLAGS line's "\Recent"
  // must not count.
  auto read_number_line = [line](std::string_view word, std::int32_t& field) {
    if (line.find(word) == std::string_view::npos || line.substr(0, 2) != "* ") return;
    std::string_view rest = line.substr(2);
    while (!rest.empty() && IsSpaceOrTab(rest.front())) rest.remove_prefix(1);
    std::int32_t value;
    if (ReadCNumber(rest, value)) field = value;
  };
  read_number_line("EXISTS", messages);
  read_number_line("RECENT", recent);
  // "* OK [UNSEEN 17] ..." (RFC 3501 section 7.1).
  constexpr std::string_view kUnseen = "* OK [UNSEEN ";
  if (line.find("UNSEEN") != std::string_view::npos && line.substr(0, kUnseen.size()) == kUnseen) {
    std::string_view rest = line.substr(kUnseen.size());
    std::int32_t value;
    if (ReadCNumber(rest, value)) first_unseen = value;
  }
}

bool ReadStatusUidNext(const ImapResponse& response, std::uint32_t& uid_next) {
  const std::string_view text = response.text;
  if (!text.starts_with("* STATUS ")) return false;
  std::size_t at = 0;
  while (at + 8 <= text.size() && !EqualsIgnoringAsciiCase(text.substr(at, 8), "UIDNEXT ")) ++at;
  if (at + 8 > text.size()) return false;
  std::string_view rest = text.substr(at + 8);
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < rest.size() && digits < 10 && rest[digits] >= '0' && rest[digits] <= '9'; ++digits) {
    value = value * 10 + static_cast<std::uint64_t>(rest[digits] - '0');
  }
  if (digits == 0 || value > 0xFFFFFFFFu) return false;
  uid_next = static_cast<std::uint32_t>(value);
  return true;
}

bool ReadStatusCounts(const ImapResponse& response, std::int32_t& messages, std::int32_t& recent) {
  ValueReader reader(response);
  if (!reader.Accept("* STATUS ")) return false;
  reader.SkipBlanks();
  ImapFetchItem::Kind kind;
  std::string mailbox;
  if (!reader.ReadValue(kind, mailbox)) return false;
  reader.SkipBlanks();
  std::string items;
  if (reader.Peek() != '(' || !reader.ReadValue(kind, items)) return true;
  std::string_view rest = items;
  while (!rest.empty()) {
    while (!rest.empty() && IsSpaceOrTab(rest.front())) rest.remove_prefix(1);
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) break;
    const std::string_view name = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    std::int32_t value = 0;
    if (!ReadCNumber(rest, value)) break;
    if (EqualsIgnoringAsciiCase(name, "MESSAGES")) messages = value;
    if (EqualsIgnoringAsciiCase(name, "RECENT")) recent = value;
  }
  return true;
}

namespace {

template <typename Number>
bool ReadSearchResponse(std::string_view line, std::vector<Number>& numbers) {
  constexpr std::string_view kSearch = "* SEARCH";
  if (!StartsWithIgnoringCase(line, kSearch)) return false;
  std::string_view rest = line.substr(kSearch.size());
  if (!rest.empty() && !IsSpaceOrTab(rest.front())) return false;  // e.g. "* SEARCHRES"
  const char* p = rest.data();
  const char* const end = p + rest.size();
  while (p < end) {
    if (IsSpaceOrTab(*p)) {
      ++p;
      continue;
    }
    std::uint32_t number = 0;
    const auto [after, error] = std::from_chars(p, end, number);
    const bool whole = error == std::errc() && (after == end || IsSpaceOrTab(*after));
    if (whole && number <= static_cast<std::uint32_t>(std::numeric_limits<Number>::max())) {
      numbers.push_back(static_cast<Number>(number));
    }
    // Skip what is not a number (an extension's data) up to the next blank.
    p = after;
    while (p < end && !IsSpaceOrTab(*p)) ++p;
  }
  return true;
}

// A decimal number of 32 bits at the start of `text`, and what follows it.
bool ReadUnsigned(std::string_view text, std::uint32_t& value, std::string_view& rest) {
  const auto [after, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc()) return false;
  rest = text.substr(static_cast<std::size_t>(after - text.data()));
  return true;
}

}  // namespace

bool ReadSearchNumbers(std::string_view line, std::vector<std::int32_t>& numbers) {
  return ReadSearchResponse(line, numbers);
}

bool ReadSearchUids(std::string_view line, std::vector<std::uint32_t>& uids) { return ReadSearchResponse(line, uids); }

bool ReadUidCode(std::string_view line, std::uint32_t& uid_validity, std::uint32_t& uid_next) {
  constexpr std::string_view kValidity = "* OK [UIDVALIDITY ";
  constexpr std::string_view kNext = "* OK [UIDNEXT ";
  std::uint32_t value = 0;
  std::string_view rest;
  if (StartsWithIgnoringCase(line, kValidity) && ReadUnsigned(line.substr(kValidity.size()), value, rest) &&
      rest.starts_with("]")) {
    uid_validity = value;
    return true;
  }
  if (StartsWithIgnoringCase(line, kNext) && ReadUnsigned(line.substr(kNext.size()), value, rest) &&
      rest.starts_with("]")) {
    uid_next = value;
    return true;
  }
  return false;
}

MailboxEvent ReadMailboxEvent(std::string_view line, std::uint32_t& number) {
  if (!line.starts_with("* ")) return MailboxEvent::kNone;
  std::string_view rest;
  if (!ReadUnsigned(line.substr(2), number, rest)) return MailboxEvent::kNone;
  if (EqualsIgnoringAsciiCase(rest, " EXISTS")) return MailboxEvent::kExists;
  if (EqualsIgnoringAsciiCase(rest, " EXPUNGE")) return MailboxEvent::kExpunge;
  return MailboxEvent::kNone;
}

bool ReadListEntry(const ImapResponse& response, ImapListEntry& entry) {
  ValueReader reader(response);
  if (!reader.Accept("* LIST ")) return false;
  ImapFetchItem::Kind kind;
  std::string value;
  reader.SkipBlanks();
  if (reader.Peek() != '(' || !reader.ReadValue(kind, value)) return false;
  entry.attributes = value;
  reader.SkipBlanks();
  if (!reader.ReadValue(kind, value)) return false;
  if (kind == ImapFetchItem::Kind::kList) return false;
  entry.delimiter = kind == ImapFetchItem::Kind::kNil ? std::string() : value;
  reader.SkipBlanks();
  if (!reader.ReadValue(kind, value) || kind == ImapFetchItem::Kind::kList) return false;
  entry.name = value;
  return true;
}

const ImapFetchItem* ImapFetch::Find(std::string_view prefix) const {
  for (const ImapFetchItem& item : items) {
    if (StartsWithIgnoringCase(item.name, prefix)) return &item;
  }
  return nullptr;
}

bool ReadFetch(const ImapResponse& response, ImapFetch& fetch) {
  fetch = ImapFetch();
  ValueReader reader(response);
  if (!ReadUntaggedNumber(reader, response.text, fetch.number)) return false;
  if (!reader.Accept("FETCH (")) return false;
  for (;;) {
    reader.SkipBlanks();
    if (reader.AtEnd() || reader.Peek() == ')') return true;
    ImapFetchItem item;
    item.name = reader.ReadItemName();
    if (item.name.empty()) return true;
    reader.SkipBlanks();
    if (!reader.ReadValue(item.kind, item.value)) return true;  // keep what was read so far
    fetch.items.push_back(std::move(item));
  }
}

std::int32_t ReadFlagBits(std::string_view flag_list) {
  std::int32_t bits = 0;
  std::size_t start = 0;
  while (start < flag_list.size()) {
    std::size_t end = flag_list.find_first_of(" \t()", start);
    if (end == std::string_view::npos) end = flag_list.size();
    const std::string_view word = flag_list.substr(start, end - start);
    for (const FlagName& flag : kFlags) {
      if (EqualsIgnoringAsciiCase(word, flag.word)) bits |= flag.bit;
    }
    start = end + 1;
  }
  return bits;
}

}  // namespace vesk
