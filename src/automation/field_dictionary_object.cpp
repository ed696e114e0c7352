#include "automation/field_dictionary_object.h"

#include "automation/content_sources.h"
#include "automation/frame/arrays.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/text_modes.h"
#include "engine/mime/content_fields.h"

namespace vesk::com {
namespace {

// A name holding CR, LF or a colon would let the caller's text end the field
// early or start a header of its own: refused, with nothing changed.
HRESULT CheckFieldName(const std::string& name) {
  if (IsAcceptableFieldName(name)) return S_OK;
  return ReportError(CLSID_MIMEMessage,
                     "A header field name may not contain a line break or a colon", GUID_NULL, E_INVALIDARG);
}

// An array that cannot be made is reported as E_FAIL.
HRESULT ArrayResult(HRESULT hr) { return hr == E_OUTOFMEMORY ? E_FAIL : hr; }

}  // namespace

STDMETHODIMP FieldDictionaryObject::get_Count(LONG* count) { return GetValue(fields_->Count(), count); }

STDMETHODIMP FieldDictionaryObject::put_Key(BSTR old_name, BSTR new_name) {
  return Guarded([&] {
    const std::string name = Narrow(new_name);
    if (HRESULT hr = CheckFieldName(name); FAILED(hr)) return hr;
    return fields_->Rename(Narrow(old_name), name) ? S_OK : DISP_E_BADINDEX;
  });
}

STDMETHODIMP FieldDictionaryObject::get_Item(BSTR name, BSTR* value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    std::string text;
    fields_->Get(Narrow(name), text, TextModeOfCodePage(CodePageOf(code_page_)));
    // The folding is not part of the value (RFC 5322 section 2.2.3).
    return ToBstr(Unfolded(text), value, CodePageOf(code_page_));
  });
}

STDMETHODIMP FieldDictionaryObject::put_Item(BSTR name, BSTR value) {
  return Guarded([&] {
    const std::string field = Narrow(name);
    if (HRESULT hr = CheckFieldName(field); FAILED(hr)) return hr;
    std::string text;
    if (HRESULT hr = HeaderTextFromCaller(value, CodePageOf(code_page_), text); FAILED(hr)) return hr;
    fields_->Set(field, text);
    return S_OK;
  });
}

STDMETHODIMP FieldDictionaryObject::putref_Item(BSTR name, BSTR value) { return put_Item(name, value); }

// Add never makes a second field of a name: it overwrites the first one.
STDMETHODIMP FieldDictionaryObject::Add(BSTR name, BSTR value) { return put_Item(name, value); }

STDMETHODIMP FieldDictionaryObject::Exists(BSTR name, VARIANT_BOOL* exists) {
  return Guarded([&] { return GetValue(ToVariantBool(fields_->Find(Narrow(name)).has_value()), exists); });
}

STDMETHODIMP FieldDictionaryObject::Remove(BSTR name) {
  return Guarded([&] { return fields_->Remove(Narrow(name)) ? S_OK : DISP_E_BADINDEX; });
}

STDMETHODIMP FieldDictionaryObject::RemoveAll() {
  fields_->Clear();
  return S_OK;
}

STDMETHODIMP FieldDictionaryObject::FieldsNames(VARIANT* names) {
  return Guarded([&] { return ArrayResult(MakeTextArray(fields_->Names(), names, CodePageOf(code_page_))); });
}

STDMETHODIMP FieldDictionaryObject::FieldsValues(VARIANT* values) {
  return Guarded([&] {
    std::vector<std::string> unfolded = fields_->Values(TextModeOfCodePage(CodePageOf(code_page_)));
    for (std::string& value : unfolded) value = Unfolded(value);
    return ArrayResult(MakeTextArray(unfolded, values, CodePageOf(code_page_)));
  });
}

}  // namespace vesk::com
