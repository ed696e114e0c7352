// How the IMAP4 client speaks with the server (RFC 3501 sections 2.2 and
// 4.3): a fresh tag before every command, the command sent in one piece,
// then the server's responses read whole (literals included) up to the
// tagged reply or, where the command waits for one, the "+" go-ahead. An
// untagged BYE ends the session on the way; news of the mailbox is noted.

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/platform/unique_id.h"
#include "engine/protocols/imap_client.h"

namespace vesk {

// "[" and 18 hexadecimal digits from a fresh unique identifier, closed by a
// period: 20 characters. The period stands where a closing bracket would look
// natural because "]", although RFC 3501 allows it in a tag, is refused by
// Dovecot, which then answers with an untagged BAD and never with the tag.
std::string ImapClient::NewTagPrefix() {
  const UniqueId id = NewUniqueId();
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "[%08X%04X%04X%02X.", static_cast<unsigned>(id.data1),
                static_cast<unsigned>(id.data2), static_cast<unsigned>(id.data3),
                static_cast<unsigned>(id.data4[0]));
  return prefix;
}

void ImapClient::BeginCommand() {
  current_tag_ = tag_prefix_ + std::to_string(command_counter_++);
  responses_.clear();
}

bool ImapClient::SendCommandLine(std::string_view command, std::string_view shown) {
  std::string line;
  line.reserve(current_tag_.size() + command.size());
  line.append(current_tag_).append(command);
  const bool sent = SendBytes(line, shown.empty() ? std::string_view() : current_tag_ + std::string(shown));
  if (!shown.empty()) WipeText(line);
  return sent;
}

bool ImapClient::ExecuteCommand(ImapCommand command, std::initializer_list<ImapCommandArg> args) {
  return ExecuteCommandNaming(use_uids_, command, args);
}

bool ImapClient::ExecuteCommandNaming(bool messages_by_uid, ImapCommand command, std::initializer_list<ImapCommandArg> args) {
  const ImapCommandEntry* entry = FindImapCommand(command);
  std::string line;
  const bool by_uid = messages_by_uid && HasUidForm(command);
  if (entry == nullptr || entry->reading == ImapReading::kNotSent ||
      !FillCommandTemplate(entry->format, args, line, by_uid)) {
    return Fail(kMsgInvalidCommandArguments);
  }
  if (by_uid) line.insert(0, " UID");
  // Only the template's own CR LF may end the line.
  if (!RefuseLineBreaks(std::string_view(line).substr(0, line.size() - 2))) return false;
  if (!FitsCommandLength(line.size(), kMaxCommandLength)) return false;

  // The password of LOGIN never reaches the trace.
  std::string shown;
  if (command == ImapCommand::kLogin && args.size() == 2) FillCommandTemplate(entry->format, {*args.begin(), "***"}, shown);
  BeginCommand();
  const bool sent = SendCommandLine(line, shown);
  if (command == ImapCommand::kLogin) WipeText(line);
  if (!sent || !CollectResponses(command == ImapCommand::kLogout)) return false;
  if (entry->reading == ImapReading::kCompletionOnly) return CheckCompletion();
  if (!CheckCompletion()) return false;
  std::int32_t number = 0;
  for (const ImapCommandArg& arg : args) {
    if (arg.is_number()) {
      number = static_cast<std::int32_t>(arg.number());
      break;
    }
  }
  fetch_found_ = false;
  Interpret(command, number, by_uid);
  if (by_uid && FetchesOneMessage(command) && !fetch_found_) return FailNoSuchMessage(number, by_uid);
  return true;
}

// The one read of a response while a command waits for its answer: the
// response joins responses_, untagged data with its mailbox news noted, and
// what it was is said. A "+" counts as the go-ahead only where the command
// waits for one (`go_ahead_ends`).
ImapClient::Arrival ImapClient::ReadNextResponse(bool go_ahead_ends, bool logging_out) {
  ImapResponse response;
  if (!ReadResponse(response)) return Arrival::kFailed;
  const bool tagged = IsTagged(response);
  const bool go_ahead = go_ahead_ends && !tagged && !response.text.empty() && response.text.front() == '+';
  if (!tagged && !go_ahead) NoteMailboxEvent(response);
  responses_.push_back(std::move(response));
  if (tagged) return Arrival::kTagged;
  if (go_ahead) return Arrival::kGoAhead;
  if (!logging_out && IsGoodbye(responses_.back())) return Arrival::kFailed;
  return Arrival::kUntagged;
}

ImapClient::GoAhead ImapClient::ReadUntilReply(bool go_ahead_ends, bool logging_out) {
  for (;;) {
    switch (ReadNextResponse(go_ahead_ends, logging_out)) {
      case Arrival::kUntagged:
        break;
      case Arrival::kGoAhead:
        return GoAhead::kGiven;
      case Arrival::kTagged:
        return GoAhead::kCompleted;
      case Arrival::kFailed:
        return GoAhead::kFailed;
    }
  }
}

bool ImapClient::CollectResponses(bool logging_out) {
  return ReadUntilReply(false, logging_out) == GoAhead::kCompleted;
}

// The one wait for a continuation (RFC 3501 section 7.5: a literal, a SASL
// challenge, IDLE's go-ahead); the tagged reply instead means the server will
// not go on.
ImapClient::GoAhead ImapClient::AwaitGoAhead() { return ReadUntilReply(true, false); }

// "* BYE text" outside LOGOUT: the server is closing the connection (RFC 3501
// section 7.1.5), for instance after the selected mailbox was deleted, and
// the tagged reply may never come. The command fails at once with the
// server's text rather than after the time-out, and the session is over.
bool ImapClient::IsGoodbye(const ImapResponse& response) {
  const std::string& text = response.text;
  if (text.size() < 5 || !EqualsIgnoringAsciiCase(std::string_view(text).substr(0, 5), "* BYE")) return false;
  if (text.size() > 5 && text[5] != ' ') return false;
  last_error_ = text.size() > 6 ? text.substr(6) : std::string();
  last_reply_ = text;
  logged_in_ = false;
  CloseConnection();
  return true;
}

bool ImapClient::IsTagged(const ImapResponse& response) const {
  return StartsWithTag(response.text, current_tag_);
}

// One response: a line, and when it is untagged data that ends in a literal
// announcement, the literal's bytes and the rest of the response after them
// (RFC 3501 section 4.3). Only untagged data carries literals; a tagged or a
// continuation line is always one line.
bool ImapClient::ReadResponse(ImapResponse& response) {
  response = ImapResponse();
  std::uint64_t literal_total = 0;
  std::string line;
  for (;;) {
    if (!ReadWholeLine(line)) return false;
    if (response.text.size() + line.size() > max_line_bytes_) {
      last_error_ = FormatMessageText(kMsgResponseLineTooLong, static_cast<int>(max_line_bytes_));
      return false;
    }
    response.text += line;
    if (response.text.empty() || response.text.front() != '*') return true;
    std::uint64_t count = 0;
    switch (FindLiteralAnnouncement(line, count)) {
      case LiteralAnnouncement::kNone:
        return true;
      case LiteralAnnouncement::kInvalid:
        return Fail(kMsgInvalidLiteral);
      case LiteralAnnouncement::kValid:
        break;
    }
    literal_total += count;
    if (count > kMaxLiteralBytes || literal_total > kMaxLiteralBytes) return Fail(kMsgInvalidLiteral);
    std::string& bytes = response.literals.emplace_back();
    bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kChunkSize * 16)));
    if (!ReadLiteral(bytes, static_cast<std::size_t>(count))) return false;
    trace().ReceivedBody(bytes.size());
    response.literal_ends.push_back(response.text.size());
  }
}

// One line of any length up to max_line_bytes_, without its CR LF.
bool ImapClient::ReadWholeLine(std::string& line) {
  line.clear();
  for (;;) {
    bool complete = false;
    const int length = ReadLinePiece(chunk_.data(), chunk_.size(), complete);
    if (length < 0) return false;
    // A CR that ended the previous piece belongs to the CR LF just found.
    if (complete && length == 0 && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() + static_cast<std::size_t>(length) > max_line_bytes_) {
      last_error_ = FormatMessageText(kMsgResponseLineTooLong, static_cast<int>(max_line_bytes_));
      return false;
    }
    line.append(chunk_.data(), static_cast<std::size_t>(length));
    if (complete) {
      trace().Received(line);
      return true;
    }
  }
}

// The command succeeded when the tagged line says OK. On success that line is
// dropped, so that only the untagged data remains; otherwise last_error_ takes
// the server's text after the status word ("NO text" gives "text", and "BAD
// text" gives " text").
bool ImapClient::CheckCompletion() {
  if (responses_.empty()) {
    last_error_.clear();
    return false;
  }
  const std::string& line = responses_.back().text;
  if (IsTagged(responses_.back())) last_reply_ = line;
  if (line.compare(0, current_tag_.size(), current_tag_) == 0 &&
      line.compare(current_tag_.size(), 3, " OK") == 0) {
    responses_.pop_back();
    return true;
  }
  last_error_.clear();
  // Tags hold only "[", ".", digits and the letters A to F, so the first
  // "N", "O" or blank is the blank after the tag.
  std::size_t found = line.find_first_of("NO ");
  if (found == std::string::npos) found = line.find_first_of("BAD");
  if (found != std::string::npos && found + 4 <= line.size()) last_error_ = ServerText(std::string_view(line).substr(found + 4));
  return false;
}

}  // namespace vesk
