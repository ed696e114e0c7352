#pragma once

#include "automation/frame/com_object.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/addresses.h"

namespace vesk::com {

// One address of an address header. Two objects made for the same entry
// edit the same entry.
class MailAddressObject : public DispatchObject<MailAddressObject, IMailAddress, ErrorInfoSupport<IMailAddress>> {
 public:
  explicit MailAddressObject(Ref<AddressItem> item) : item_(std::move(item)) {}
  static HRESULT Create(Ref<AddressItem> item, IMailAddress** result) {
    return CreateInstance(result, std::move(item));
  }

  STDMETHODIMP get_Name(BSTR* value) override;
  STDMETHODIMP put_Name(BSTR value) override;
  STDMETHODIMP get_Address(BSTR* value) override;
  STDMETHODIMP put_Address(BSTR value) override;
  STDMETHODIMP Check(ADDRESS_CHECK_MODE mode, VARIANT_BOOL* valid) override;

 private:
  Ref<AddressItem> item_;
};

// The addresses of one header (To, Cc, Bcc), numbered from 1.
class MailAddressesObject
    : public DispatchObject<MailAddressesObject, IMailAddresses, ErrorInfoSupport<IMailAddresses>> {
 public:
  explicit MailAddressesObject(Ref<AddressList> list) : list_(std::move(list)) {}
  static HRESULT Create(Ref<AddressList> list, IMailAddresses** result) {
    return CreateInstance(result, std::move(list));
  }

  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP get_Item(LONG index, IMailAddress** item) override;
  STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
  STDMETHODIMP Add(IMailAddress** item) override;
  STDMETHODIMP Remove(LONG index) override;
  STDMETHODIMP Clear() override;

 private:
  Ref<AddressList> list_;
};

}  // namespace vesk::com
