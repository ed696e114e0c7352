#pragma once

// The structure of a message as a FETCH BODYSTRUCTURE response describes it
// (RFC 3501 sections 6.4.5 and 7.4.2): every part with its part specifier
// (the "2.1" of BODY[2.1]), media type, transfer encoding, size, disposition
// and file name, read without any of the content. This is what lets a client
// list the attachments of a large message and fetch one of them alone.
//
// The reader is lenient, as servers differ in what they put where: NIL stands
// for any field; strings may be quoted or literals (whose bytes the response
// carries beside its text, see ImapResponse); extension data it does not know
// is passed over. Parts nested deeper than kMaxBodyStructureDepth are passed
// over whole, without recursion, so no response can exhaust the stack.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/protocols/imap_responses.h"

namespace vesk {

inline constexpr int kMaxBodyStructureDepth = 32;

struct ImapBodyPart {
  std::string section;      // "1", "2", "2.1"
  std::string type;         // lower case, e.g. "text"; "multipart" is never listed
  std::string subtype;      // lower case, e.g. "plain"
  std::string charset;      // lower case; empty when the part names none
  std::string encoding;     // lower case, e.g. "base64"; "7bit" when the server gave none
  std::uint64_t size = 0;   // bytes of the content as stored (still encoded)
  std::string disposition;  // lower case: "attachment", "inline", or empty
  // From the disposition's filename or else the type's name parameter, with
  // RFC 2231 and RFC 2047 encodings undone: UTF-8 when the name was in UTF-8,
  // US-ASCII or ISO-8859-1; the bytes as sent for other charsets.
  std::string file_name;

  std::string MediaType() const { return type + "/" + subtype; }
};

// The leaf parts (and encapsulated messages, as one part each) of the FETCH
// response's BODYSTRUCTURE item, in the order of their part specifiers;
// multipart containers are not listed. False when the response is no FETCH
// response or carries no readable BODYSTRUCTURE; `parts` then holds what was
// read before the fault.
bool ReadBodyStructure(const ImapResponse& response, std::vector<ImapBodyPart>& parts);

// True for a part specifier of numbers joined by periods ("1", "2.10").
bool IsPartSection(std::string_view section);

}  // namespace vesk
