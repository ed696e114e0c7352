#include "engine/mime/field_list.h"

#include "engine/common/ascii.h"

namespace vesk {

std::string Field::ReadValue(const TextMode& text_mode) {
  if (list_) {
    if (const std::optional<size_t> position = list_->PositionOf(*this)) {
      return list_->ReadValueAt(*position, text_mode);
    }
  }
  return value_;
}

void Field::WriteValue(std::string_view text) {
  if (list_) {
    if (const std::optional<size_t> position = list_->PositionOf(*this)) {
      list_->WriteValueAt(*position, text);
      return;
    }
  }
  value_.assign(text);
}

FieldList::~FieldList() {
  // Fields held elsewhere outlive the list; they must not point back at it.
  for (const Ref<Field>& field : fields_) field->list_ = nullptr;
}

std::optional<size_t> FieldList::Find(std::string_view name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (EqualsIgnoringAsciiCase(fields_[i]->name(), name)) return i;
  }
  return std::nullopt;
}

std::optional<size_t> FieldList::PositionOf(const Field& field) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].get() == &field) return i;
  }
  return std::nullopt;
}

bool FieldList::CallHook(size_t position, std::string& text, HookMode mode, const TextMode& text_mode) {
  return hook_ && hook_(hook_context_, *this, position, text, mode, text_mode) != 0;
}

std::string FieldList::ReadValueAt(size_t position, const TextMode& text_mode) {
  // The hook may change the list; the reference keeps the field alive and the
  // result goes to the field itself, wherever it stands afterwards.
  const Ref<Field> field = fields_[position];
  std::string text = field->value_;
  if (CallHook(position, text, HookMode::kRead, text_mode)) field->value_ = std::move(text);
  return field->value_;
}

void FieldList::WriteValueAt(size_t position, std::string_view value) {
  ++changes_;
  const Ref<Field> field = fields_[position];
  field->gap_ = ' ';
  std::string text(value);
  if (CallHook(position, text, HookMode::kWrite, DefaultTextMode())) {
    field->value_ = std::move(text);
  } else {
    field->value_.assign(value);
  }
}

bool FieldList::Get(std::string_view name, std::string& value, const TextMode& text_mode) {
  const std::optional<size_t> position = Find(name);
  if (!position) return false;
  value = ReadValueAt(*position, text_mode);
  return true;
}

Ref<Field> FieldList::Append(std::string_view name) {
  ++changes_;
  Ref<Field> field = MakeRef<Field>(std::string(name));
  field->list_ = this;
  fields_.push_back(field);
  return field;
}

Ref<Field> FieldList::Set(std::string_view name, std::string_view value) {
  std::optional<size_t> position = Find(name);
  Ref<Field> field;
  if (position) {
    field = fields_[*position];
  } else {
    field = Append(name);
    position = fields_.size() - 1;
  }
  WriteValueAt(*position, value);
  return field;
}

Ref<Field> FieldList::Add(std::string_view name, std::string_view value) {
  Ref<Field> field = Append(name);
  WriteValueAt(fields_.size() - 1, value);
  return field;
}

Ref<Field> FieldList::AddAsRead(std::string_view name, std::string_view value, char gap) {
  Ref<Field> field = Add(name, value);
  field->gap_ = gap;
  return field;
}

Ref<Field> FieldList::AddEmpty(std::string_view name) { return Append(name); }

bool FieldList::RemoveAt(size_t position) {
  if (position >= fields_.size()) return false;
  ++changes_;
  const Ref<Field> field = fields_[position];
  field->list_ = nullptr;
  fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(position));
  return true;
}

bool FieldList::Remove(std::string_view name) {
  const std::optional<size_t> position = Find(name);
  return position && RemoveAt(*position);
}

bool FieldList::Rename(std::string_view old_name, std::string_view new_name) {
  const std::optional<size_t> position = Find(old_name);
  if (!position) return false;
  ++changes_;
  fields_[*position]->Rename(std::string(new_name));
  return true;
}

void FieldList::Clear() {
  ++changes_;
  for (const Ref<Field>& field : fields_) field->list_ = nullptr;
  std::vector<Ref<Field>> removed;
  removed.swap(fields_);
}

std::vector<std::string> FieldList::Names() const {
  std::vector<std::string> names;
  names.reserve(fields_.size());
  for (const Ref<Field>& field : fields_) names.push_back(field->name());
  return names;
}

std::vector<std::string> FieldList::Values(const TextMode& text_mode) {
  std::vector<std::string> values;
  values.reserve(fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i) values.push_back(ReadValueAt(i, text_mode));
  return values;
}

bool IsAcceptableFieldName(std::string_view name) {
  return name.find_first_of("\r\n:") == std::string_view::npos;
}

}  // namespace vesk
