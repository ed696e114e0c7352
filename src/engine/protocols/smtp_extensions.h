#pragma once

// The SMTP service extensions a sending client uses when the server lists
// them in its EHLO reply, each decided here in one place:
//   SIZE        RFC 1870  the message's size on MAIL; a message larger than
//                         the server's stated limit is refused before it goes
//   DSN         RFC 3461  NOTIFY and ORCPT on RCPT, RET and ENVID on MAIL
//   SMTPUTF8    RFC 6531  addresses (and header fields) in UTF-8
//   8BITMIME    RFC 6152  BODY=8BITMIME for a message with 8-bit bytes
//   PIPELINING  RFC 2920  MAIL, the RCPTs and DATA sent as one group
// Without SMTPUTF8 an address whose domain alone is international goes out
// with that domain's A-label (RFC 5890); one with an international local
// part cannot be sent, and the error names it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// What the last EHLO reply listed (nothing after HELO).
struct SmtpServerExtensions {
  bool size = false;
  std::uint64_t size_limit = 0;  // 0: SIZE without a limit
  bool dsn = false;
  bool smtputf8 = false;
  bool eight_bit_mime = false;
  bool pipelining = false;

  // `keywords`: the EHLO reply's lines after the first, one per LF.
  static SmtpServerExtensions FromEhloKeywords(std::string_view keywords);
};

// When delivery reports are asked for (RFC 3461 section 4.1); the numbers are
// those of the automation enumeration. kNever stands alone; the other three
// combine.
enum DeliveryNotify : int {
  kNotifyServerDefault = 0,
  kNotifyNever = 1,
  kNotifySuccess = 2,
  kNotifyFailure = 4,
  kNotifyDelay = 8,
};
enum class DeliveryReturn : int { kServerDefault = 0, kFullMessage = 1, kHeadersOnly = 2 };

// RFC 3461 section 4.4: an envelope identifier is at most 100 characters
// as xtext; its characters are printable US-ASCII.
inline constexpr std::size_t kMaxEnvelopeIdLength = 100;

struct SmtpSendOptions {
  // EHLO and the extensions even with no other reason to use them.
  bool use_extensions = false;
  int notify = kNotifyServerDefault;
  DeliveryReturn report_return = DeliveryReturn::kServerDefault;
  std::string envelope_id;
  // Go on with the recipients the server took when it refuses some (at
  // least one taken); by default one refusal ends the transaction.
  bool allow_partial_delivery = false;
  // Send the commands of a transaction as one group where the server
  // offers PIPELINING.
  bool pipelining = true;

  bool AsksForDeliveryReports() const {
    return notify != kNotifyServerDefault || report_return != DeliveryReturn::kServerDefault || !envelope_id.empty();
  }
  // Whether the dialogue must begin with EHLO for these options.
  bool WantExtensions() const { return use_extensions || AsksForDeliveryReports() || allow_partial_delivery; }
};

bool IsValidDeliveryNotify(int notify);
// Printable US-ASCII of at most kMaxEnvelopeIdLength characters as xtext.
bool IsValidEnvelopeId(std::string_view id);

// RFC 3461 section 4: "+" and the bytes outside "!" to "~" and "=" as "+XX".
std::string XText(std::string_view text);

// A recipient the server refused, with all of the server's reply.
struct RefusedRecipient {
  std::string address;  // as the caller gave it
  std::string reply;
};

// A transaction's envelope as it goes on the wire.
struct SmtpEnvelope {
  std::string sender;
  std::string mail_parameters;  // each with a leading space; empty without extensions
  std::vector<std::string> recipients;
  std::vector<std::string> rcpt_parameters;
};

// Builds the envelope of one transaction from the caller's addresses (UTF-8)
// and the message in wire form that follows DATA, for a server that listed
// `extensions` (all false after HELO). False, with the failure's text in
// `error`, for a message the server's SIZE refuses, reports the server does
// not offer, or an address it cannot take.
bool PrepareEnvelope(std::string_view sender, const std::vector<std::string>& recipients, std::string_view message,
                     const SmtpServerExtensions& extensions, const SmtpSendOptions& options, SmtpEnvelope& envelope,
                     std::string& error);

// An address as a server without SMTPUTF8 can take it: unchanged when it is
// ASCII, its domain as A-labels when only the domain is international;
// nothing when that cannot be (an international local part, a domain that
// is no host name, text that is not UTF-8).
std::optional<std::string> AsciiEnvelopeAddress(std::string_view address);

}  // namespace vesk
