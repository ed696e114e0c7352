#pragma once

// Writing the part tree as MIME text (RFC 2045, RFC 2046 section 5.1): the
// one place that turns the model into bytes, for files, for the wire and for
// RawMessage. It only reads the model; what a leaf lacks on the wire (a
// charset, a transfer encoding) is added to the text written, never to the
// part. Options say which message header fields stay at home (Bcc in the
// transmitted copy) and which line break is written.

#include <string>

#include "engine/mime/write_options.h"

namespace vesk {

class MessageEntity;
class MimePart;
class Stream;
class TextMode;

// The message's header block (without the hidden fields), CR LF, then its
// root part's body, in the message's text mode unless the options name
// another. False when a multipart without a usable boundary was met on the
// way (what could be written was written).
bool WriteMessage(Stream& stream, MessageEntity& message, const WriteOptions& options = {});

// The part's own header block and CR LF (none for a part that shares its
// message's header list), then its body, in the options' text mode (the
// default one when they name none: a part does not know its message).
bool WritePart(Stream& stream, MimePart& part, const WriteOptions& options = {});

// What a text leaf (type "text", or none, which means text/plain) lacks on
// the wire, decided from its content when it is written (RFC 2045 sections
// 2.7 and 6, RFC 2046 section 4.1.2): content with bytes outside ASCII gets
// the charset of the caller's text (in `text_mode`) when it has no charset
// parameter, and such content, or content with a line over 998 octets, gets
// a transfer encoding when it has none: quoted-printable, or base64 when that
// is shorter; with `eight_bit_text` (WriteOptions) 8bit instead, where no
// line is over 998 octets and no byte is NUL. Empty strings mean nothing is
// added.
struct WireAdditions {
  std::string charset;
  std::string encoding;
};
WireAdditions LeafWireAdditions(const MimePart& part, const TextMode& text_mode, bool eight_bit_text = false);

}  // namespace vesk
