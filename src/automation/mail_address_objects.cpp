#include "automation/mail_address_objects.h"

#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "engine/net/mailbox_probe.h"

namespace vesk::com {

STDMETHODIMP MailAddressObject::get_Name(BSTR* value) {
  return Guarded([&] { return GetText(item_->Name(), value); });
}
STDMETHODIMP MailAddressObject::put_Name(BSTR value) {
  return Guarded([&] {
    item_->SetName(ToNarrow(value));
    return S_OK;
  });
}
STDMETHODIMP MailAddressObject::get_Address(BSTR* value) {
  return Guarded([&] { return GetText(item_->Address(), value); });
}
STDMETHODIMP MailAddressObject::put_Address(BSTR value) {
  return Guarded([&] {
    item_->SetAddress(ToNarrow(value));
    return S_OK;
  });
}

// Never fails: every problem, from bad syntax to a silent server, is "not
// valid".
STDMETHODIMP MailAddressObject::Check(ADDRESS_CHECK_MODE mode, VARIANT_BOOL* valid) {
  return Guarded([&] {
    if (!valid) return E_POINTER;
    *valid = ToVariantBool(CheckMailAddress(item_->Address(), static_cast<int>(mode)));
    return S_OK;
  });
}

namespace {

// Positions from callers count from 1.
bool ToIndex(LONG position, size_t count, size_t& index) {
  if (position < 1 || static_cast<size_t>(position) > count) return false;
  index = static_cast<size_t>(position - 1);
  return true;
}

// Walks the list as it is at each call: entries added or removed after the
// enumerator was made are seen or missed according to its position.
class AddressEnumerator : public ComObject<AddressEnumerator, IEnumVARIANT> {
 public:
  AddressEnumerator(ComPtr<IMailAddresses> owner, Ref<AddressList> list, size_t position)
      : owner_(std::move(owner)), list_(std::move(list)), position_(position) {}

  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    return Guarded([&] {
      if (!items || (count != 1 && !fetched)) return E_POINTER;
      ULONG delivered = 0;
      while (delivered < count && position_ < list_->Count()) {
        VARIANT& item = items[delivered];
        VariantInit(&item);
        IMailAddress* address = nullptr;
        const HRESULT hr = MailAddressObject::Create(list_->Item(position_), &address);
        if (FAILED(hr)) {
          for (ULONG i = 0; i < delivered; ++i) VariantClear(&items[i]);
          if (fetched) *fetched = 0;
          return hr;
        }
        V_VT(&item) = VT_DISPATCH;
        V_DISPATCH(&item) = address;
        ++delivered;
        ++position_;
      }
      if (fetched) *fetched = delivered;
      return delivered < count ? S_FALSE : S_OK;
    });
  }

  STDMETHODIMP Skip(ULONG count) override {
    const size_t total = list_->Count();
    const size_t left = position_ < total ? total - position_ : 0;
    const size_t skipped = std::min<size_t>(count, left);
    position_ += skipped;
    return skipped == count ? S_OK : S_FALSE;
  }

  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }

  STDMETHODIMP Clone(IEnumVARIANT** result) override {
    return Guarded([&] { return CreateInstance(result, owner_, list_, position_); });
  }

 private:
  ComPtr<IMailAddresses> owner_;  // keeps the collection alive
  Ref<AddressList> list_;
  size_t position_;
};

}  // namespace

STDMETHODIMP MailAddressesObject::get_Count(LONG* count) {
  return Guarded([&] { return GetValue(list_->Count(), count); });
}

STDMETHODIMP MailAddressesObject::get_Item(LONG position, IMailAddress** item) {
  return Guarded([&] {
    if (!item) return E_POINTER;
    *item = nullptr;
    size_t index = 0;
    if (!ToIndex(position, list_->Count(), index)) return DISP_E_BADINDEX;
    return MailAddressObject::Create(list_->Item(index), item);
  });
}

STDMETHODIMP MailAddressesObject::get__NewEnum(IUnknown** enumerator) {
  return Guarded([&] {
    if (!enumerator) return E_POINTER;
    *enumerator = nullptr;
    list_->Count();  // splits the header text before the walk starts
    IEnumVARIANT* created = nullptr;
    const HRESULT hr = AddressEnumerator::CreateInstance(&created, ComPtr<IMailAddresses>(this), list_, size_t{0});
    *enumerator = created;
    return hr;
  });
}

STDMETHODIMP MailAddressesObject::Add(IMailAddress** item) {
  return Guarded([&] {
    if (!item) return E_POINTER;
    *item = nullptr;
    return MailAddressObject::Create(list_->Add(), item);
  });
}

STDMETHODIMP MailAddressesObject::Remove(LONG position) {
  return Guarded([&] {
    size_t index = 0;
    if (!ToIndex(position, list_->Count(), index)) return DISP_E_BADINDEX;
    list_->Remove(index);
    return S_OK;
  });
}

STDMETHODIMP MailAddressesObject::Clear() {
  list_->Clear();
  return S_OK;
}

}  // namespace vesk::com
