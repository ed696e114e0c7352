#include "engine/protocols/imap_commands.h"

namespace vesk {
namespace {

// Each template starts with the blank that follows the tag and ends with the
// line's CR LF. Every FETCH, STORE and COPY names one message, so both ends
// of its range are the same number.
constexpr bool kByUid = true, kOneMessage = true;
constexpr ImapCommandEntry kCommands[] = {
    {ImapCommand::kLogin, " LOGIN %s %s\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kSelect, " SELECT %s\r\n", ImapReading::kMailboxCounters},
    {ImapCommand::kExamine, " EXAMINE %s\r\n", ImapReading::kMailboxCounters},
    {ImapCommand::kList, " LIST %s %s\r\n", ImapReading::kList},
    {ImapCommand::kCreate, " CREATE %s\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kDelete, " DELETE %s\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kRename, " RENAME %s %s\r\n", ImapReading::kCompletionOnly},
    // AppendMessage's own: the literal follows only after the go-ahead.
    {ImapCommand::kAppend, " APPEND %s {%i}\r\n", ImapReading::kNotSent},
    {ImapCommand::kStore, " STORE %i:%i %s (%s)\r\n", ImapReading::kCompletionOnly, kByUid},
    {ImapCommand::kExpunge, " EXPUNGE\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kCopy, " COPY %i:%i %s\r\n", ImapReading::kCompletionOnly, kByUid},
    {ImapCommand::kStatus, " STATUS %s (%s)\r\n", ImapReading::kStatus},
    {ImapCommand::kSearch, " SEARCH %s\r\n", ImapReading::kSearch, kByUid},
    {ImapCommand::kFetchFlags, " FETCH %i:%i FLAGS\r\n", ImapReading::kFlags, kByUid, kOneMessage},
    {ImapCommand::kFetchSize, " FETCH %i:%i RFC822.SIZE\r\n", ImapReading::kSize, kByUid, kOneMessage},
    {ImapCommand::kFetchHeader, " FETCH %i:%i RFC822.HEADER\r\n", ImapReading::kMessageText, kByUid, kOneMessage},
    {ImapCommand::kFetchTextPart, " FETCH %i:%i BODY[TEXT]<0.%i>\r\n", ImapReading::kMessageText, kByUid, kOneMessage},
    {ImapCommand::kFetchMessage, " FETCH %i:%i RFC822\r\n", ImapReading::kMessageText, kByUid, kOneMessage},
    {ImapCommand::kLogout, " LOGOUT\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kCapability, " CAPABILITY\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kStartTls, " STARTTLS\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kMove, " MOVE %i:%i %s\r\n", ImapReading::kCompletionOnly, kByUid},
    {ImapCommand::kUidExpunge, " UID EXPUNGE %i:%i\r\n", ImapReading::kCompletionOnly},
    // The selection option asks for the mailboxes with a role only (RFC 6154
    // section 5.3); without it every mailbox is listed with its attributes.
    {ImapCommand::kListAll, " LIST %s\"\" \"*\"\r\n", ImapReading::kCompletionOnly},
    // WaitForChange's own: DONE ends it, not a tagged reply of its own.
    {ImapCommand::kIdle, " IDLE\r\n", ImapReading::kNotSent},
    {ImapCommand::kNoop, " NOOP\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kFetchUid, " FETCH %i:%i (UID)\r\n", ImapReading::kCompletionOnly, kByUid},
    {ImapCommand::kFetchStructure, " FETCH %i:%i (UID BODYSTRUCTURE)\r\n", ImapReading::kCompletionOnly, kByUid},
    {ImapCommand::kFetchSection, " FETCH %i:%i (UID BODY.PEEK[%s])\r\n", ImapReading::kCompletionOnly, kByUid},
    {ImapCommand::kUidExists, " UID SEARCH UID %i\r\n", ImapReading::kCompletionOnly},
    {ImapCommand::kFetchNewestUid, " FETCH %i:%i (UID)\r\n", ImapReading::kCompletionOnly},
};

}  // namespace

const ImapCommandEntry* FindImapCommand(ImapCommand command) {
  for (const ImapCommandEntry& entry : kCommands) {
    if (entry.command == command) return &entry;
  }
  return nullptr;
}

bool HasUidForm(ImapCommand command) {
  const ImapCommandEntry* entry = FindImapCommand(command);
  return entry && entry->uid_form;
}

bool FetchesOneMessage(ImapCommand command) {
  const ImapCommandEntry* entry = FindImapCommand(command);
  return entry && entry->one_message;
}

bool FillCommandTemplate(const char* format, std::initializer_list<ImapCommandArg> args, std::string& line,
                         bool unsigned_numbers) {
  auto next = args.begin();
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      line.push_back(*p);
      continue;
    }
    ++p;
    if (next == args.end()) return false;
    if (*p == 'i' && next->is_number()) {
      line += unsigned_numbers ? std::to_string(static_cast<std::uint32_t>(next->number()))
                               : std::to_string(next->number());
    } else if (*p == 's' && !next->is_number()) {
      line += next->text();
    } else {
      return false;
    }
    ++next;
  }
  return next == args.end();
}

}  // namespace vesk
