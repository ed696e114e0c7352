#pragma once

// For a provider that takes a message in one request only up to a size:
// the message without its largest attachments, which then go up apart.

#include <cstddef>
#include <string>
#include <vector>

namespace vesk::mailapi {

struct SetApartAttachment {
  std::string name;
  std::string content_type;
  std::string content_id;  // without the angle brackets; empty for none
  bool is_inline = false;
  std::string bytes;       // decoded
};

// Takes out of `mime` every attachment larger than `always_over` bytes, then
// the largest of the others until what is left, as one run of base64, fits
// in `base64_limit`. False when it still does not fit with nothing left to take
// out; `mime` is then unchanged.
bool SetAttachmentsApart(std::string& mime, std::size_t always_over, std::size_t base64_limit,
                         std::vector<SetApartAttachment>& apart);

}  // namespace vesk::mailapi
