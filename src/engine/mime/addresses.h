#pragma once

// The value of an address header field (From, To, Cc, Bcc) as a list of
// entries. Both levels are lazy: the header text is split into entries only
// when somebody first looks inside, an entry's display name and address are
// taken from its text only when first read or written, and text is rebuilt
// only for what was changed, so an untouched header keeps its exact text.
//
// Display names are written as RFC 5322 quoted strings (section 3.2.4): a
// double quote or a backslash inside one is sent as a quoted pair, and reading
// honours quoted pairs, so no name can end its quotes early and smuggle in
// another entry.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/ref_counted.h"

namespace vesk {

// One entry of an address header: "Name" <address>, or a bare address.
// Shared by its list and by every automation object made over it.
class AddressItem : public RefCounted {
 public:
  AddressItem() = default;  // a new, empty entry
  explicit AddressItem(std::string text) : text_(std::move(text)) {}

  const std::string& Name();
  const std::string& Address();
  void SetName(std::string name);
  void SetAddress(std::string address);

  // The entry's text in the header, rebuilt first when it was modified.
  const std::string& Text();

  bool IsModified() const { return modified_; }

 private:
  void ParseIfNeeded();

  std::string name_;
  std::string address_;
  std::string text_;
  bool parsed_ = false;
  bool modified_ = false;
};

class AddressList;

// Told once when a list bound before its header field existed gains an
// entry, so that the field comes into being only then: looking at a list
// (its count, say) adds no field to a message.
class AddressListOwner {
 public:
  virtual void ListGainedEntries(AddressList& list) = 0;

 protected:
  ~AddressListOwner() = default;
};

// The entries of one address header. Indexes count from 0.
class AddressList : public RefCounted {
 public:
  AddressList() = default;
  explicit AddressList(std::string text) : text_(std::move(text)) {}

  // A new header value: the entries are dropped (objects still holding them
  // keep them alive, but they no longer belong to this list).
  void SetText(std::string text);

  // The header value, rebuilt first when the list counts as changed: an entry
  // was added or removed, the list was cleared, or an entry was modified.
  const std::string& RenderedText();
  bool IsChanged() const;

  std::size_t Count();
  // The entry at index, or an empty Ref when there is none.
  Ref<AddressItem> Item(std::size_t index);
  Ref<AddressItem> Add();
  bool Remove(std::size_t index);
  void Clear();

  // The owner told when the list first gains an entry (null: none).
  void set_owner(AddressListOwner* owner) { owner_ = owner; }

 private:
  void SplitIfNeeded();
  void TellOwner();

  std::string text_;
  bool split_ = false;
  bool modified_ = false;
  std::vector<Ref<AddressItem>> items_;
  AddressListOwner* owner_ = nullptr;
};

// The entries of a header value, split at commas outside double quotes.
// A trailing comma makes no empty entry.
std::vector<std::string> SplitAddressEntries(std::string_view text);

// An address's two halves, around its first at sign.
struct AddressParts {
  std::string local_part;
  std::string domain;
};

// Longest address, local part and domain the check accepts.
inline constexpr std::size_t kMaxCheckedAddress = 259;
inline constexpr std::size_t kMaxCheckedAddressPart = 79;

// The syntax rule of the address check: an at sign; a domain of at least five
// characters whose last period has at least three characters before it; only
// ASCII letters, "_", "-" and "." on both sides; within the length limits.
// When it holds and `parts` is given, the halves are stored there.
bool CheckAddressSyntax(std::string_view address, AddressParts* parts = nullptr);

}  // namespace vesk
