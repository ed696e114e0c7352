#pragma once

// The IMAP4 pieces that need no connection: the arguments the client writes
// into its commands (RFC 3501 section 4.3), and the reading of the server's
// responses (RFC 3501 section 7) into the values the client keeps. The client
// (imap_client.h) collects the responses; everything here is pure text work,
// so it is tested and benchmarked without a server.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/ascii.h"

namespace vesk {

// One response as the client collects it: a tagged status line, a
// continuation request, or one untagged response. Untagged data may carry
// literals (RFC 3501 section 4.3): each announcement "{n}" stays in `text`
// where it stood, and the n bytes that followed it are in `literals`, in
// order, with `literal_ends[i]` the offset in `text` just after the "}" of the
// i-th announcement. Line ends are not kept.
struct ImapResponse {
  std::string text;
  std::vector<std::string> literals;
  std::vector<std::size_t> literal_ends;

  // The literal announced at `position` in `text`: its bytes go to `value`
  // and `position` moves past the "}". "{n}" counts as a literal only where
  // the server really announced one, at the end of a line that the literal's
  // bytes followed; false otherwise.
  bool TakeLiteral(std::size_t& position, std::string& value) const {
    const std::size_t close = text.find('}', position);
    for (std::size_t i = 0; close != std::string::npos && i < literal_ends.size(); ++i) {
      if (literal_ends[i] != close + 1) continue;
      value = literals[i];
      position = close + 1;
      return true;
    }
    return false;
  }
};

// The system flags, as bits of the automation enumeration.
enum ImapMessageFlag : std::int32_t {
  kImapFlagSeen = 1,
  kImapFlagAnswered = 2,
  kImapFlagFlagged = 4,
  kImapFlagDeleted = 8,
  kImapFlagDraft = 16,
  kImapFlagRecent = 32,
};
// The flags a client may store (\Recent is the server's), and all six.
inline constexpr std::int32_t kImapStorableFlags = 31;
inline constexpr std::int32_t kImapAllFlags = 63;

// ---- Command arguments -----------------------------------------------------


// An astring argument (RFC 3501 section 9): an atom as it is; anything else
// (empty, or holding a blank, a control character, a double quote, a
// backslash, parentheses, braces, "%" or "*") as a quoted string with "\" and
// '"' escaped. The text must not hold CR, LF or NUL (checked by the caller).
std::string ImapAstring(std::string_view text);

// Search criteria as they go on the wire. Criteria that are all ASCII stay
// one piece, as given. Otherwise (RFC 3501 section 6.4.4) they are UTF-8 and
// say so with "CHARSET UTF-8" in front (unless they name a charset
// themselves), and every quoted string or atom that holds a byte beyond
// ASCII becomes a literal: each piece but the last then ends with the
// literal's announcement "{n}", and the next piece begins with its bytes.
std::vector<std::string> SearchCommandPieces(std::string_view criteria);

// The text of a server's tagged reply as a person reads it: without white
// space around it, and without the timing some servers add at the end
// ("(0.001 + 0.000 secs).").
std::string ServerText(std::string_view text);

// "\Seen \Flagged": the storable flag words of `bits`, in bit order.
std::string StoreFlagList(std::int32_t bits);

// "SEEN UNANSWERED FLAGGED UNDELETED UNDRAFT": one keyword per storable flag,
// the set or the clear form as `bits` says. \Recent is not looked at.
std::string SearchFlagCriteria(std::int32_t bits);

// A date in the form of RFC 3501 "date" ("dd-Mon-yyyy" with English month
// abbreviations, e.g. 07-Mar-2002), whatever the user's locale. False when
// the day is not a calendar day with a year of 1 to 9999.
bool FormatImapDate(int year, int month, int day, std::string& text);

// ---- Reading responses -----------------------------------------------------

// Does `line` begin with `tag`, letters compared without regard to case?
bool StartsWithTag(std::string_view line, std::string_view tag);

// A literal announcement "{n}" closing a line of untagged data.
enum class LiteralAnnouncement { kNone, kValid, kInvalid };
// kValid with the count in `count`; kInvalid for digits in braces that do
// not fit in 64 bits; kNone when the line does not end in braces round digits.
LiteralAnnouncement FindLiteralAnnouncement(std::string_view line, std::uint64_t& count);

// A number as the C conversion %i reads it: optional sign, then hexadecimal
// after "0x", octal after a leading 0, decimal otherwise; values beyond 32
// bits are clamped. Advances `text` past the number; false when none is there.
bool ReadCNumber(std::string_view& text, std::int32_t& value);

// The mailbox counters of SELECT and EXAMINE (RFC 3501 section 6.3.1): an
// "* n EXISTS" line sets `messages`, "* n RECENT" sets `recent`, and
// "* OK [UNSEEN n]" sets `first_unseen`; other lines leave them unchanged.
void ReadMailboxCounters(std::string_view line, std::int32_t& messages, std::int32_t& recent,
                         std::int32_t& first_unseen);

// "* STATUS name (MESSAGES m RECENT r UNSEEN u)" (RFC 3501 section 7.2.4), the
// items in any order: sets `messages` and `recent` from the items present.
// False when the response is no STATUS response.
bool ReadStatusCounts(const ImapResponse& response, std::int32_t& messages, std::int32_t& recent);

// "* SEARCH 2 84 882" (RFC 3501 section 7.2.5): true for a SEARCH response,
// whose numbers are appended to `numbers` in order. Linear in the length.
bool ReadSearchNumbers(std::string_view line, std::vector<std::int32_t>& numbers);
// The same for UID SEARCH, whose unique identifiers take all 32 bits.
bool ReadSearchUids(std::string_view line, std::vector<std::uint32_t>& uids);

// "* OK [UIDVALIDITY n]" and "* OK [UIDNEXT n]" of SELECT and EXAMINE
// (RFC 3501 section 7.1): sets the value the line names; false for other
// lines.
bool ReadUidCode(std::string_view line, std::uint32_t& uid_validity, std::uint32_t& uid_next);
// The UIDNEXT of a "* STATUS" response that lists it.
bool ReadStatusUidNext(const ImapResponse& response, std::uint32_t& uid_next);

// "* n EXISTS" and "* n EXPUNGE" (RFC 3501 sections 7.3.1 and 7.4.1), as
// they come at any time while a mailbox is selected.
enum class MailboxEvent { kNone, kExists, kExpunge };
MailboxEvent ReadMailboxEvent(std::string_view line, std::uint32_t& number);

// "* LIST (attributes) delimiter name" (RFC 3501 section 7.2.2). The delimiter
// is empty for NIL; the name is unquoted (or taken from its literal).
struct ImapListEntry {
  std::string attributes;  // the inside of the attribute list, e.g. "\\HasNoChildren \\Sent"
  std::string delimiter;
  std::string name;
};
bool ReadListEntry(const ImapResponse& response, ImapListEntry& entry);

// "* n FETCH (name value ...)" (RFC 3501 section 7.4.2).
struct ImapFetchItem {
  enum class Kind { kAtom, kNil, kString, kList };
  std::string name;   // e.g. "FLAGS", "RFC822.SIZE", "BODY[TEXT]<0>"
  Kind kind = Kind::kAtom;
  std::string value;  // atom text, string bytes (quoted or literal), or the list's inside
};
struct ImapFetch {
  std::int32_t number = 0;
  std::vector<ImapFetchItem> items;
  // The first item whose name begins with `prefix` (letters without regard to
  // case), or nullptr.
  const ImapFetchItem* Find(std::string_view prefix) const;
};
bool ReadFetch(const ImapResponse& response, ImapFetch& fetch);

// The flag bits named in a flag list ("\Seen \Answered $Label"); keywords and
// "\*" are ignored.
std::int32_t ReadFlagBits(std::string_view flag_list);

}  // namespace vesk
