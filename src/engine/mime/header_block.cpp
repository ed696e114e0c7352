// The text form of a header block: reading it from a Stream into a FieldList
// and writing a FieldList back (RFC 5322 section 2.2).

#include <string>

#include "engine/common/ascii.h"
#include "engine/mime/field_list.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

// Turns a pending header text into a field: the name is everything before the
// colon as it stands; one space or tab right after the colon is the field's
// gap, kept apart so that the field is written back as it was read.
void AddPendingHeader(FieldList& list, const std::string& pending, size_t colon) {
  size_t value_start = colon + 1;
  char gap = '\0';
  if (value_start < pending.size() && IsSpaceOrTab(pending[value_start])) gap = pending[value_start++];
  list.AddAsRead(std::string_view(pending).substr(0, colon), std::string_view(pending).substr(value_start), gap);
}

}  // namespace

bool FieldList::ReadHeaderBlock(Stream& stream) {
  std::string line;
  std::string pending;
  size_t colon = 0;
  bool has_pending = false;
  bool ended_by_lf;
  // A last line without LF is a header line like any other.
  while (ReadAnyLine(stream, line, ended_by_lf)) {
    if (has_pending && !line.empty() && IsSpaceOrTab(line[0])) {
      pending += '\n';
      pending += line;
      continue;
    }
    if (has_pending) {
      AddPendingHeader(*this, pending, colon);
      has_pending = false;
    }
    if (line.empty()) return false;
    colon = line.find(':');
    if (colon == std::string::npos) return true;
    pending.swap(line);
    has_pending = true;
  }
  if (has_pending) AddPendingHeader(*this, pending, colon);
  return false;
}

void AppendWireHeaderValue(std::string& out, std::string_view value) {
  size_t start = 0;
  for (;;) {
    const size_t brk = value.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) {
      out.append(value.substr(start));
      return;
    }
    out.append(value.substr(start, brk - start));
    size_t next = brk + 1;
    if (value[brk] == '\r' && next < value.size() && value[next] == '\n') ++next;
    out += "\r\n";
    if (next >= value.size() || !IsSpaceOrTab(value[next])) out += ' ';
    start = next;
  }
}

void FieldList::WriteHeaderBlock(Stream& stream, const TextMode& text_mode, PrepareForWire prepare, void* context) {
  std::string line;
  // The hook may change the list while a value is read; the loop re-reads the
  // count and keeps the field alive for the duration of its line.
  for (size_t i = 0; i < fields_.size(); ++i) {
    const Ref<Field> field = fields_[i];
    std::string value = ReadValueAt(i, text_mode);
    if (prepare && !prepare(context, field->name(), value)) continue;
    line.assign(field->name());
    line += ':';
    if (field->gap() != '\0') line += field->gap();
    AppendWireHeaderValue(line, value);
    line += "\r\n";
    WriteText(stream, line);
  }
}

}  // namespace vesk
