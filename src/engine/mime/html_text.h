#pragma once

// The HTML text of a message beside its plain text (RFC 2046 section 5.1.4,
// multipart/alternative), and the files the HTML shows inline (RFC 2387,
// multipart/related, each named by its Content-ID, RFC 2392):
//
//   multipart/mixed            (only when there are attachments)
//     multipart/alternative
//       text/plain             the main text
//       multipart/related      (only once a file was added)
//         text/html
//         image/png ...        inline, with a Content-ID
//     attachments

#include <string>
#include <string_view>

#include "engine/mime/message_entity.h"

namespace vesk {

// The first text/html leaf that is not an attachment, depth first; null when
// there is none.
Ref<MimePart> FindHtmlPart(const Ref<MimePart>& root);

// Sets the content of the HTML part, making it first when there is none: the
// main text part (made when missing) is put into a new multipart/alternative
// with the HTML part after it, where the text part stood.
void SetHtmlText(MessageEntity& message, std::string_view html);

// Adds the file at a physical path as an inline part beside the HTML part
// (made first when there is none, empty), under multipart/related. Returns
// the part's Content-ID without angle brackets, or empty when the file
// cannot be read (the message is then left as it was).
std::string AddRelatedFile(MessageEntity& message, const std::string& path, std::string_view domain);

}  // namespace vesk
