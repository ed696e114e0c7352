#pragma once

// How a message is written: which header fields of the message stay at home
// (the transmitted copy leaves out Bcc, RFC 5322 section 3.6.3), the line
// break between lines (CR LF on the wire and in files; LF for a caller that
// keeps text the Unix way), and what the caller's text is in.

#include <string>
#include <string_view>
#include <vector>

namespace vesk {

class TextMode;

struct WriteOptions {
  // Names of message header fields left out (ASCII letter case ignored).
  std::vector<std::string> hidden_fields;
  // "\r\n" or "\n".
  std::string_view line_break = "\r\n";
  // A text part with 8-bit bytes that has no transfer encoding of its own
  // goes as 8bit instead of being encoded, where its lines allow it (for a
  // server that takes BODY=8BITMIME, RFC 6152).
  bool eight_bit_text = false;
  // What the caller's text in the tree is in; null: the message's own mode
  // (WriteMessage) or the default one (WritePart). It must outlive the write.
  const TextMode* text_mode = nullptr;

  // The copy that goes to the recipients of a transmission: no Bcc and no
  // Resent-Bcc.
  static WriteOptions Transmission(bool eight_bit_text = false) {
    return WriteOptions{{"Bcc", "Resent-Bcc"}, "\r\n", eight_bit_text, nullptr};
  }

  bool Hides(std::string_view field_name) const;
};

}  // namespace vesk
