// SMTP service extensions for sending (RFC 1870, 2920, 3461, 5890, 6152,
// 6531, 6533).

#include "engine/protocols/smtp_extensions.h"

#include <charconv>
#include <cstdio>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/mime/idna.h"
#include "engine/protocols/dot_terminated_block.h"

namespace vesk {

namespace {

// One EHLO keyword line: the keyword, then its parameters after a blank
// (RFC 5321 section 4.1.1.1); keywords are compared without regard to case.
bool IsKeyword(std::string_view line, std::string_view keyword, std::string_view& parameters) {
  if (line.size() < keyword.size() || !EqualsIgnoringAsciiCase(line.substr(0, keyword.size()), keyword)) return false;
  if (line.size() > keyword.size() && line[keyword.size()] != ' ') return false;
  parameters = line.substr(std::min(line.size(), keyword.size() + 1));
  return true;
}

std::string_view TrimmedLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || IsSpaceOrTab(line.back()))) line.remove_suffix(1);
  while (!line.empty() && IsSpaceOrTab(line.front())) line.remove_prefix(1);
  return line;
}

// Where the header block of a data block ends (its empty line), or the end.
std::size_t HeaderEnd(std::string_view block) {
  if (block.starts_with("\r\n")) return 0;
  const std::size_t end = block.find("\r\n\r\n");
  return end == std::string_view::npos ? block.size() : end;
}

// RFC 6533 section 3: utf-8-addr-xtext, with every character outside the
// printable ASCII ones (and "+", "\\", "=") as \x{HEX}.
std::string Utf8AddressXText(const std::u32string& address) {
  std::string out;
  for (const char32_t c : address) {
    if (c >= '!' && c <= '~' && c != '+' && c != '\\' && c != '=') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x{%X}", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

std::string NotifyParameter(int notify) {
  if (notify == kNotifyNever) return "NEVER";
  std::string out;
  for (const auto& [flag, word] : {std::pair{kNotifySuccess, "SUCCESS"}, std::pair{kNotifyFailure, "FAILURE"},
                                   std::pair{kNotifyDelay, "DELAY"}}) {
    if (notify & flag) out += out.empty() ? word : std::string(",") + word;
  }
  return out;
}

}  // namespace

SmtpServerExtensions SmtpServerExtensions::FromEhloKeywords(std::string_view keywords) {
  SmtpServerExtensions found;
  while (!keywords.empty()) {
    const std::size_t end = keywords.find('\n');
    const std::string_view line = TrimmedLine(keywords.substr(0, end));
    keywords.remove_prefix(end == std::string_view::npos ? keywords.size() : end + 1);
    std::string_view parameters;
    if (IsKeyword(line, "SIZE", parameters)) {
      found.size = true;
      std::uint64_t limit = 0;
      const auto [rest, status] = std::from_chars(parameters.data(), parameters.data() + parameters.size(), limit);
      found.size_limit = status == std::errc() ? limit : 0;
    } else if (IsKeyword(line, "DSN", parameters)) {
      found.dsn = true;
    } else if (IsKeyword(line, "SMTPUTF8", parameters)) {
      found.smtputf8 = true;
    } else if (IsKeyword(line, "8BITMIME", parameters)) {
      found.eight_bit_mime = true;
    } else if (IsKeyword(line, "PIPELINING", parameters)) {
      found.pipelining = true;
    }
  }
  return found;
}

bool IsValidDeliveryNotify(int notify) {
  if (notify == kNotifyServerDefault || notify == kNotifyNever) return true;
  return (notify & ~(kNotifySuccess | kNotifyFailure | kNotifyDelay)) == 0;
}

bool IsValidEnvelopeId(std::string_view id) {
  for (const char c : id) {
    if (c < ' ' || c > '~') return false;
  }
  return XText(id).size() <= kMaxEnvelopeIdLength;
}

std::string XText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= '!' && byte <= '~' && byte != '+' && byte != '=') {
      out.push_back(c);
    } else {
      out.push_back('+');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

std::optional<std::string> AsciiEnvelopeAddress(std::string_view address) {
  if (!HasNonAscii(address)) return std::string(address);
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos || HasNonAscii(address.substr(0, at))) return std::nullopt;
  const std::optional<std::string> domain = DomainToAscii(address.substr(at + 1));
  if (!domain) return std::nullopt;
  return std::string(address.substr(0, at + 1)) + *domain;
}

bool PrepareEnvelope(std::string_view sender, const std::vector<std::string>& recipients, std::string_view message,
                     const SmtpServerExtensions& extensions, const SmtpSendOptions& options, SmtpEnvelope& envelope,
                     std::string& error) {
  envelope = SmtpEnvelope();
  // RFC 1870 section 3: the size is the message's, without the periods of
  // transparency and the end-of-data line.
  const std::uint64_t size = DotStuffingStream::MessageSize(message);
  if (extensions.size && extensions.size_limit != 0 && size > extensions.size_limit) {
    error = FormatMessageText(kMsgMessageTooLarge, std::to_string(size).c_str(),
                              std::to_string(extensions.size_limit).c_str());
    return false;
  }
  if (options.AsksForDeliveryReports() && !extensions.dsn) {
    error = MessageText(kMsgDsnNotOffered);
    return false;
  }

  // RFC 6531 section 3.4: the transaction needs SMTPUTF8 when an address or
  // a header field holds UTF-8; where the server does not offer it, a domain
  // can still go as its A-labels (RFC 5891 section 4.4), a local part cannot.
  const std::size_t header_end = HeaderEnd(message);
  bool utf8 = extensions.smtputf8 && HasNonAscii(message.substr(0, header_end));
  const auto envelope_form = [&](std::string_view address, std::string& out) {
    if (!HasNonAscii(address)) {
      out = address;
      return true;
    }
    const std::size_t at = address.rfind('@');
    const bool domain_is_host_name =
        DecodeUtf8(address).has_value() &&
        (at == std::string_view::npos || !HasNonAscii(address.substr(at + 1)) ||
         DomainToAscii(address.substr(at + 1)).has_value());
    if (!domain_is_host_name) {
      error = FormatMessageText(kMsgAddressNotSendable, std::string(address).c_str());
      return false;
    }
    if (extensions.smtputf8) {
      utf8 = true;
      out = address;
      return true;
    }
    if (std::optional<std::string> ascii = AsciiEnvelopeAddress(address)) {
      out = std::move(*ascii);
      return true;
    }
    error = FormatMessageText(kMsgAddressNeedsSmtpUtf8, std::string(address).c_str());
    return false;
  };
  if (!envelope_form(sender, envelope.sender)) return false;
  envelope.recipients.resize(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    if (!envelope_form(recipients[i], envelope.recipients[i])) return false;
  }

  std::string& mail = envelope.mail_parameters;
  if (extensions.size) mail += " SIZE=" + std::to_string(size);
  if (extensions.eight_bit_mime && HasNonAscii(message)) mail += " BODY=8BITMIME";
  if (utf8) mail += " SMTPUTF8";
  const bool reports = extensions.dsn && options.AsksForDeliveryReports();
  if (reports && options.report_return != DeliveryReturn::kServerDefault) {
    mail += options.report_return == DeliveryReturn::kFullMessage ? " RET=FULL" : " RET=HDRS";
  }
  if (reports && !options.envelope_id.empty()) mail += " ENVID=" + XText(options.envelope_id);

  envelope.rcpt_parameters.resize(recipients.size());
  for (std::size_t i = 0; reports && i < recipients.size(); ++i) {
    std::string& rcpt = envelope.rcpt_parameters[i];
    if (options.notify != kNotifyServerDefault) rcpt += " NOTIFY=" + NotifyParameter(options.notify);
    // RFC 3461 section 4.2 and RFC 6533 section 3: the address as the caller
    // gave it, so that a report names it the same way.
    if (HasNonAscii(recipients[i])) {
      rcpt += " ORCPT=utf-8;" + Utf8AddressXText(*DecodeUtf8(recipients[i]));
    } else if (!recipients[i].empty()) {
      rcpt += " ORCPT=rfc822;" + XText(recipients[i]);
    }
  }
  return true;
}

}  // namespace vesk
