#include "automation/mail_address_objects.h"

#include "automation/content_sources.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/frame/variant_enumerator.h"
#include "engine/protocols/mailbox_probe.h"

namespace vesk::com {

STDMETHODIMP MailAddressObject::get_Name(BSTR* value) {
  return Guarded([&] { return HeaderTextToBstr(item_->Name(), value, CodePageOf(code_page_)); });
}
STDMETHODIMP MailAddressObject::put_Name(BSTR value) {
  return Guarded([&] {
    std::string name;
    if (HRESULT hr = HeaderTextFromCaller(value, CodePageOf(code_page_), name); FAILED(hr)) return hr;
    item_->SetName(std::move(name));
    return S_OK;
  });
}
STDMETHODIMP MailAddressObject::get_Address(BSTR* value) {
  return Guarded([&] { return ToBstr(item_->Address(), value, CodePageOf(code_page_)); });
}
STDMETHODIMP MailAddressObject::put_Address(BSTR value) {
  return Guarded([&] {
    std::string address;
    if (HRESULT hr = HeaderTextFromCaller(value, CodePageOf(code_page_), address); FAILED(hr)) return hr;
    item_->SetAddress(std::move(address));
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

// The addresses of a list, for the collection's enumerator.
struct AddressSequence {
  ComPtr<IMailAddresses> owner;  // keeps the collection alive
  Ref<AddressList> list;
  Ref<TextCodePage> code_page;
  size_t Size() const { return list->Count(); }
  HRESULT MakeItem(size_t index, IDispatch** item) const {
    return MailAddressObject::Create(list->Item(index), code_page, reinterpret_cast<IMailAddress**>(item));
  }
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
    return MailAddressObject::Create(list_->Item(index), code_page_, item);
  });
}

STDMETHODIMP MailAddressesObject::get__NewEnum(IUnknown** enumerator) {
  return Guarded([&] {
    list_->Count();  // splits the header text before the walk starts
    return VariantEnumerator<AddressSequence>::Create({ComPtr<IMailAddresses>(this), list_, code_page_}, enumerator);
  });
}

STDMETHODIMP MailAddressesObject::Add(IMailAddress** item) {
  return Guarded([&] {
    if (!item) return E_POINTER;
    *item = nullptr;
    return MailAddressObject::Create(list_->Add(), code_page_, item);
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
