#pragma once

// What the protocol objects send or append: the envelope and the bytes of a
// message object. One of our own message objects gives its model directly
// (message_model.h): the bytes are those Save writes. A message object of
// another implementation is asked through its interfaces for its addresses,
// and its RawMessage, taken back through the code page it was made in, is
// read into the same model and written by the same writer.

#include <functional>
#include <string>

#include "automation/frame/win.h"
#include "engine/mime/outgoing_message.h"

namespace vesk::com {

struct MessageForSending {
  Envelope envelope;
  std::string bytes;  // in wire form, without Bcc
};

// For SMTP: the envelope (the arguments when given, else the message's
// addresses), the Date and Message-ID added to the message when it has none
// (`domain` is asked only for a new identifier), and the copy for the
// recipients (with `eight_bit_text`, for a server that takes 8BITMIME, our
// message's text parts with 8-bit bytes go as 8bit). On failure the message
// text of what went wrong goes to `error`.
bool PrepareForSending(IDispatch* message, BSTR to, BSTR from, const std::function<std::string()>& domain,
                       bool eight_bit_text, MessageForSending& result, std::string& error);

// For a provider's web API, which takes the whole message and reads its
// recipients from it: the Date and Message-ID added when it has none, then
// the message as Save writes it, Bcc included. False when the object is not
// a message or cannot give its text.
bool BytesForHandingOver(IDispatch* message, const std::function<std::string()>& domain, std::string& bytes);

// For IMAP4 APPEND: the whole message as Save writes it. Empty when the
// message cannot give it.
std::string BytesForAppending(IMIMEMessage* message);

}  // namespace vesk::com
