#include "engine/mime/content_fields.h"

#include "engine/mime/field_list.h"

namespace vesk {
namespace {

void AppendQuoted(std::string& out, std::string_view value) {
  out += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

bool SubtypeNeedsQuotes(std::string_view subtype) {
  if (!subtype.empty() && subtype.front() == '"') return true;
  for (const char c : subtype) {
    if (IsCSpace(c) || c == ';') return true;
  }
  return false;
}

size_t SkipSpace(std::string_view text, size_t position) {
  while (position < text.size() && IsCSpace(text[position])) ++position;
  return position;
}

size_t SkipPast(std::string_view text, size_t position, char separator) {
  const size_t found = text.find(separator, position);
  return found == std::string_view::npos ? text.size() : found + 1;
}

size_t TakeRun(std::string_view text, size_t position, char separator, std::string& token) {
  const size_t start = position;
  while (position < text.size() && !IsCSpace(text[position]) && text[position] != separator) ++position;
  token.assign(text.substr(start, position - start));
  return position;
}

// A quoted string that starts at `position` (on the opening quote). Only the
// pairs \" and \\ are undone: a backslash before anything else stays, so that
// the unescaped Windows paths older mailers put into file names survive.
size_t TakeQuoted(std::string_view text, size_t position, std::string& token) {
  token.clear();
  ++position;
  while (position < text.size() && text[position] != '"') {
    const char c = text[position];
    if (c == '\\' && position + 1 < text.size() && (text[position + 1] == '"' || text[position + 1] == '\\')) {
      token += text[position + 1];
      position += 2;
      continue;
    }
    token += c;
    ++position;
  }
  return position;
}

}  // namespace

void AppendComposedParameters(std::string& out, FieldList& parameters) {
  for (size_t i = 0; i < parameters.Count(); ++i) {
    const Ref<Field> parameter = parameters.At(i);
    out += ";\r\n\t";
    out += parameter->name();
    out += '=';
    AppendQuoted(out, parameter->ReadValue());
  }
}

std::string ComposeContentType(std::string_view type, std::string_view subtype, FieldList& parameters) {
  std::string text(type);
  text += '/';
  if (SubtypeNeedsQuotes(subtype)) {
    AppendQuoted(text, subtype);
  } else {
    text += subtype;
  }
  AppendComposedParameters(text, parameters);
  return text;
}

std::string ComposeContentDisposition(std::string_view disposition, FieldList& parameters) {
  std::string text(disposition);
  AppendComposedParameters(text, parameters);
  return text;
}

size_t ScanTwoTokens(std::string_view text, size_t position, char first_separator, char second_separator,
                     std::string& first, std::string& second) {
  position = TakeRun(text, SkipSpace(text, position), first_separator, first);
  position = SkipPast(text, position, first_separator);
  position = SkipSpace(text, position);
  if (position < text.size() && text[position] == '"') {
    position = TakeQuoted(text, position, second);
  } else {
    position = TakeRun(text, position, second_separator, second);
  }
  return SkipPast(text, position, second_separator);
}

void ParseParameters(std::string_view text, size_t position, FieldList& parameters) {
  std::string name;
  std::string value;
  while (position < text.size()) {
    position = ScanTwoTokens(text, position, '=', ';', name, value);
    if (!name.empty() || !value.empty()) parameters.Add(name, value);
  }
}

}  // namespace vesk
