#pragma once

// What sending a message takes from it: the envelope (RFC 5321 section 3.3),
// the fields every message sent must have (RFC 5322 section 3.6), and the
// bytes of the copy that goes out.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mime/message_entity.h"

namespace vesk {

struct Envelope {
  std::string sender;
  std::vector<std::string> recipients;
};

// The sender is `from` when it is not empty, else the message's first From
// address. The recipients are `to` alone (used whole, as one address) when it
// is not empty, else every address of To, Cc and Bcc in that order,
// duplicates kept. The message is not changed: a field that has no list
// bound to it is read as it stands.
Envelope CollectEnvelope(MessageEntity& message, std::string_view to, std::string_view from);

// Whether the envelope can go out: a sender, at least one recipient, and
// every address one that a MAIL or RCPT command can carry (no blank, control
// character or angle bracket: "Name <address>" belongs in a header, not in
// the envelope). False, with the reason in `error`, before anything is sent.
bool CheckEnvelope(const Envelope& envelope, std::string& error);

// Gives a message without a Date (or with an empty one) the date `now` says,
// and one without a Message-ID a new identifier in the domain `domain` says.
// Each is asked only when needed. The fields go into the message itself, so
// that a copy saved or appended after sending holds the same fields.
void AddOriginationFields(MessageEntity& message, const std::function<std::string()>& now,
                          const std::function<std::string()>& domain);

// The bytes of the message as they go to its recipients: what Save writes,
// without Bcc and Resent-Bcc; with `eight_bit_text` (a server that takes
// 8BITMIME) text parts with 8-bit bytes go as 8bit rather than encoded.
std::string TransmittedBytes(MessageEntity& message, bool eight_bit_text = false);

// The bytes of the whole message, as Save writes them.
std::string RenderedBytes(MessageEntity& message);

}  // namespace vesk
