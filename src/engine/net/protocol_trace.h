#pragma once

// ProtocolTrace: the lines of a dialogue written to a file for the person who
// has to find out what went wrong. Every entry is one line:
//
//   2026-12-07 04:52:01.123 C: EHLO client.example
//   2026-12-07 04:52:01.130 S: 250-mail.example
//
// with the time in UTC, "C:" for what the client sent, "S:" for what the
// server sent and "--" for a note of the client's own. The dialogue code
// hands over what may be shown: passwords, tokens and SASL responses as
// "***", message bodies as their size.
//
// The file is opened, appended to and closed for every entry, so the trace
// is complete up to the last line even when the process dies, and can be
// read while the object lives. A trace that cannot be written is skipped:
// it never makes the dialogue fail.

#include <string>
#include <string_view>

namespace vesk {

class ProtocolTrace {
 public:
  // Stands for a secret in the trace.
  static constexpr std::string_view kHidden = "***";

  const std::string& path() const { return path_; }
  void set_path(std::string path) { path_ = std::move(path); }
  bool enabled() const { return !path_.empty(); }

  // Bytes the client sent: one entry per line (CR LF removed).
  void Sent(std::string_view bytes);
  // One line the server sent, without its line end.
  void Received(std::string_view line);
  // `count` bytes of message text, sent or received, shown by size.
  void SentBody(std::size_t count);
  void ReceivedBody(std::size_t count);
  void Note(std::string_view text);

 private:
  void Write(std::string_view mark, std::string_view bytes);

  std::string path_;
};

}  // namespace vesk
