#pragma once

#include "automation/frame/com_object.h"
#include "automation/frame/strings.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/addresses.h"

namespace vesk::com {

// One address of an address header. Two objects made for the same entry
// edit the same entry.
class MailAddressObject : public DispatchObject<MailAddressObject, IMailAddress, ErrorInfoSupport<IMailAddress>> {
 public:
  MailAddressObject(Ref<AddressItem> item, Ref<TextCodePage> code_page)
      : item_(std::move(item)), code_page_(std::move(code_page)) {}
  static HRESULT Create(Ref<AddressItem> item, Ref<TextCodePage> code_page, IMailAddress** result) {
    return CreateInstance(result, std::move(item), std::move(code_page));
  }

  STDMETHODIMP get_Name(BSTR* value) override;
  STDMETHODIMP put_Name(BSTR value) override;
  STDMETHODIMP get_Address(BSTR* value) override;
  STDMETHODIMP put_Address(BSTR value) override;
  STDMETHODIMP Check(ADDRESS_CHECK_MODE mode, VARIANT_BOOL* valid) override;

 private:
  Ref<AddressItem> item_;
  Ref<TextCodePage> code_page_;
};

// The addresses of one header (To, Cc, Bcc), numbered from 1.
class MailAddressesObject
    : public DispatchObject<MailAddressesObject, IMailAddresses, ErrorInfoSupport<IMailAddresses>> {
 public:
  MailAddressesObject(Ref<AddressList> list, Ref<TextCodePage> code_page)
      : list_(std::move(list)), code_page_(std::move(code_page)) {}
  static HRESULT Create(Ref<AddressList> list, Ref<TextCodePage> code_page, IMailAddresses** result) {
    return CreateInstance(result, std::move(list), std::move(code_page));
  }

  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP get_Item(LONG index, IMailAddress** item) override;
  STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
  STDMETHODIMP Add(IMailAddress** item) override;
  STDMETHODIMP Remove(LONG index) override;
  STDMETHODIMP Clear() override;

 private:
  Ref<AddressList> list_;
  Ref<TextCodePage> code_page_;
};

}  // namespace vesk::com
