#pragma once

#include "automation/frame/com_object.h"
#include "automation/frame/strings.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/field_list.h"

namespace vesk::com {

// The header fields of a message or a body part, by name. A live view: it
// edits the very list the message renders from, for as long as the message
// keeps that list. Text crosses in the code page of the message's mode.
class FieldDictionaryObject
    : public DispatchObject<FieldDictionaryObject, IFieldDictionary, ErrorInfoSupport<IFieldDictionary>> {
 public:
  FieldDictionaryObject(Ref<FieldList> fields, Ref<TextCodePage> code_page)
      : fields_(std::move(fields)), code_page_(std::move(code_page)) {}

  static HRESULT Create(Ref<FieldList> fields, Ref<TextCodePage> code_page, IFieldDictionary** result) {
    return CreateInstance(result, std::move(fields), std::move(code_page));
  }

  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP put_Key(BSTR old_name, BSTR new_name) override;
  STDMETHODIMP get_Item(BSTR name, BSTR* value) override;
  STDMETHODIMP put_Item(BSTR name, BSTR value) override;
  STDMETHODIMP putref_Item(BSTR name, BSTR value) override;
  STDMETHODIMP Add(BSTR name, BSTR value) override;
  STDMETHODIMP Exists(BSTR name, VARIANT_BOOL* exists) override;
  STDMETHODIMP Remove(BSTR name) override;
  STDMETHODIMP RemoveAll() override;
  STDMETHODIMP FieldsNames(VARIANT* names) override;
  STDMETHODIMP FieldsValues(VARIANT* values) override;

 private:
  std::string Narrow(BSTR text) const { return ToNarrow(text, CodePageOf(code_page_)); }

  Ref<FieldList> fields_;
  Ref<TextCodePage> code_page_;
};

}  // namespace vesk::com
