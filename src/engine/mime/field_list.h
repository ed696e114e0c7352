#pragma once

// Ordered, reference-counted lists of named text items: the header fields of
// a message or a part, and the parameters of Content-Type and
// Content-Disposition. Every value read and write can pass through a hook that
// the list's owner installs, so that structured data and header text stay in
// step.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/ref_counted.h"
#include "engine/mime/text_mode.h"

namespace vesk {

class FieldList;
class Stream;

enum class HookMode : int { kWrite = 0, kRead = 1 };

// The owner's hook: called with the list, the position of the field (from 0)
// and the value text. For a read the text holds a copy of the stored value;
// for a write it holds the new value. A non-zero result means the hook handled
// the call and the text (which it may have rewritten) is the value to store;
// zero means the stored value (read) or the given text (write) is used as is.
// A read passes on the text mode its reader gave, for a hook that composes
// the value from the caller's text (a part's Content-Type); a write passes
// the default.
using FieldListHook = int (*)(void* context, FieldList& list, size_t position, std::string& text,
                              HookMode mode, const TextMode& text_mode);

// One header field or parameter.
class Field final : public RefCounted {
 public:
  explicit Field(std::string name, std::string value = {})
      : name_(std::move(name)), value_(std::move(value)) {}

  const std::string& name() const { return name_; }
  // Renames the field directly; no hook is called.
  void Rename(std::string name) { name_ = std::move(name); }

  // The stored value, without the hook.
  const std::string& stored_value() const { return value_; }

  // The value read through the owner's hook, composed in `text_mode` where
  // the hook composes it.
  std::string ReadValue(const TextMode& text_mode = DefaultTextMode());
  // Stores a value written through the owner's hook.
  void WriteValue(std::string_view text);

  // What stands between the name and the value when the field is written:
  // the one space or tab the field was read with, or nothing where the value
  // followed the colon directly; a space for a field made or changed here.
  char gap() const { return gap_; }

  // The list that holds the field, or null once it has been removed from it
  // (or the list was cleared or destroyed).
  FieldList* list() const { return list_; }

 private:
  friend class FieldList;
  ~Field() override = default;

  std::string name_;
  std::string value_;
  char gap_ = ' ';  // '\0': none
  FieldList* list_ = nullptr;  // the value hook; not a counted reference
};

class FieldList final : public RefCounted {
 public:
  FieldList() = default;

  void SetHook(FieldListHook hook, void* context) {
    hook_ = hook;
    hook_context_ = context;
  }
  // Detaches the list from its owner: values are read and written as stored.
  void ClearHook() { SetHook(nullptr, nullptr); }
  bool has_hook() const { return hook_ != nullptr; }

  size_t Count() const { return fields_.size(); }
  // Grows with every change made through the list (a field added, removed,
  // renamed or given a value), so that an owner can tell whether the list is
  // as it was when it last looked.
  uint64_t changes() const { return changes_; }
  // The field at a position (from 0); the position must be below Count().
  const Ref<Field>& At(size_t position) const { return fields_[position]; }

  // Position of the first field whose name matches, ignoring the case of the
  // ASCII letters only.
  std::optional<size_t> Find(std::string_view name) const;
  // Position of this very field, if the list holds it.
  std::optional<size_t> PositionOf(const Field& field) const;

  // False when absent (value untouched); else the value read through the hook
  // (in `text_mode`, see FieldListHook).
  bool Get(std::string_view name, std::string& value, const TextMode& text_mode = DefaultTextMode());
  // Writes the value of the first matching field through the hook, appending a
  // new field with that name when there is none.
  Ref<Field> Set(std::string_view name, std::string_view value);
  // Always appends a new field; the value is written through the hook.
  Ref<Field> Add(std::string_view name, std::string_view value);
  // The same for a field read from text, with the gap it was read with.
  Ref<Field> AddAsRead(std::string_view name, std::string_view value, char gap);
  // Always appends a new field with an empty value; no hook call.
  Ref<Field> AddEmpty(std::string_view name);
  // Detaches the field at a position and removes it; later fields move up.
  // False when the position is out of range.
  bool RemoveAt(size_t position);
  // Removes the first matching field; false when absent.
  bool Remove(std::string_view name);
  // Renames the first field named `old_name` directly (no hook call); false
  // when absent. The new name may equal another field's.
  bool Rename(std::string_view old_name, std::string_view new_name);
  // Detaches every field, then removes them all.
  void Clear();

  // Names in list order, and values read through the hook in the same order.
  std::vector<std::string> Names() const;
  std::vector<std::string> Values(const TextMode& text_mode = DefaultTextMode());

  // Reads a header block (RFC 5322 section 2.2) and appends its fields with
  // Add. Lines come from Stream::ReadLine; the block ends at an empty line
  // (consumed), at a line without a colon or at the end of the input.
  // Continuation lines are kept in the value behind a line feed. Returns true
  // when a line without a colon ended the block: that line was read from the
  // stream but belongs to what follows the block (the content, when a sender
  // left out the empty line), so a caller that can step back gives it there.
  bool ReadHeaderBlock(Stream& stream);
  // Writes every field as name, ": ", value read through the hook (in
  // `text_mode`), CR LF.
  // `prepare` (when given) sees each value first, with `context`: it may
  // rewrite it for the wire, or say false to leave the field out. The empty
  // line that ends the block is the caller's to write.
  using PrepareForWire = bool (*)(void* context, std::string_view name, std::string& value);
  void WriteHeaderBlock(Stream& stream, const TextMode& text_mode, PrepareForWire prepare = nullptr,
                        void* context = nullptr);

 private:
  friend class Field;
  ~FieldList() override;

  // The list's part of a read or write through the hook, for a field known to
  // stand at `position`. Returns whether the hook handled the call.
  bool CallHook(size_t position, std::string& text, HookMode mode, const TextMode& text_mode);
  std::string ReadValueAt(size_t position, const TextMode& text_mode);
  void WriteValueAt(size_t position, std::string_view text);
  Ref<Field> Append(std::string_view name);

  std::vector<Ref<Field>> fields_;
  uint64_t changes_ = 0;
  FieldListHook hook_ = nullptr;
  void* hook_context_ = nullptr;
};

// True when `name` may be used as a header field name given by a caller: it
// holds no CR, LF or colon, any of which would let the caller's text end the
// field early or start another one.
bool IsAcceptableFieldName(std::string_view name);

// Appends a header value as it goes on the wire (RFC 5322 section 2.2.3): each
// line break in it (LF, CR LF or a lone CR) becomes CR LF, followed by a space
// when the next character is not already a space or a tab, so the value stays
// one field. A folded value read from text comes back unchanged apart from the
// CR.
void AppendWireHeaderValue(std::string& out, std::string_view value);

}  // namespace vesk
