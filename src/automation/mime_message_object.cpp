#include "automation/mime_message_object.h"

#include "automation/frame/errors.h"
#include "automation/frame/properties.h"

namespace vesk::com {
namespace {

HRESULT NotYet(const char* member) { return ReportNotImplemented(CLSID_MIMEMessage, member); }

template <class T>
HRESULT NotYetWithResult(const char* member, T** result) {
  if (result) *result = nullptr;
  return NotYet(member);
}

}  // namespace

STDMETHODIMP MimeMessageObject::get_Subject(BSTR* value) { return NotYetWithResult("Subject", value); }
STDMETHODIMP MimeMessageObject::put_Subject(BSTR) { return NotYet("Subject"); }
STDMETHODIMP MimeMessageObject::get_MessageID(BSTR* value) { return NotYetWithResult("MessageID", value); }
STDMETHODIMP MimeMessageObject::put_MessageID(BSTR) { return NotYet("MessageID"); }
STDMETHODIMP MimeMessageObject::get_Text(BSTR* value) { return NotYetWithResult("Text", value); }
STDMETHODIMP MimeMessageObject::put_Text(BSTR) { return NotYet("Text"); }
STDMETHODIMP MimeMessageObject::get_Date(VARIANT* value) {
  if (value) VariantInit(value);
  return NotYet("Date");
}
STDMETHODIMP MimeMessageObject::put_Date(VARIANT) { return NotYet("Date"); }
STDMETHODIMP MimeMessageObject::get_From(IMailAddress** value) { return NotYetWithResult("From", value); }
STDMETHODIMP MimeMessageObject::get_To(IMailAddresses** value) { return NotYetWithResult("To", value); }
STDMETHODIMP MimeMessageObject::get_Cc(IMailAddresses** value) { return NotYetWithResult("Cc", value); }
STDMETHODIMP MimeMessageObject::get_Bcc(IMailAddresses** value) { return NotYetWithResult("Bcc", value); }
STDMETHODIMP MimeMessageObject::get_MimeBody(IMimeBody** value) { return NotYetWithResult("MimeBody", value); }
STDMETHODIMP MimeMessageObject::get_RawMessage(BSTR* value) { return NotYetWithResult("RawMessage", value); }
STDMETHODIMP MimeMessageObject::put_RawMessage(BSTR) { return NotYet("RawMessage"); }
STDMETHODIMP MimeMessageObject::get_Attachments(IMimeBodies** value) { return NotYetWithResult("Attachments", value); }
STDMETHODIMP MimeMessageObject::get_HeaderFields(IFieldDictionary** value) {
  return NotYetWithResult("HeaderFields", value);
}
STDMETHODIMP MimeMessageObject::Append(BSTR) { return NotYet("Append"); }
STDMETHODIMP MimeMessageObject::Empty() { return NotYet("Empty"); }
STDMETHODIMP MimeMessageObject::Save(BSTR) { return NotYet("Save"); }
STDMETHODIMP MimeMessageObject::Load(BSTR) { return NotYet("Load"); }
STDMETHODIMP MimeMessageObject::Attach(BSTR) { return NotYet("Attach"); }

// Keeps the page's Server object, through which virtual file names are mapped.
STDMETHODIMP MimeMessageObject::OnStartPage(IUnknown* context) {
  if (!context) return E_POINTER;
  ComPtr<IScriptingContext> scripting;
  HRESULT hr = context->QueryInterface(IID_IScriptingContext, scripting.put_void());
  if (FAILED(hr)) return hr;
  ComPtr<IServer> server;
  hr = scripting->get_Server(server.put());
  if (FAILED(hr)) return hr;
  page_server_ = server;
  page_started_ = true;
  return S_OK;
}

STDMETHODIMP MimeMessageObject::OnEndPage() { return S_OK; }

STDMETHODIMP MimeMessageObject::get_UseVirtualPath(VARIANT_BOOL* use) { return GetValue(use_virtual_path_, use); }

// Outside a page there is no Server object to map virtual names with, so the
// switch stays off.
STDMETHODIMP MimeMessageObject::put_UseVirtualPath(VARIANT_BOOL use) {
  if (!page_started_) return S_FALSE;
  use_virtual_path_ = use;
  return S_OK;
}

STDMETHODIMP MimeMessageObject::get_DenyPhysicalPath(VARIANT_BOOL* deny) { return GetValue(VARIANT_FALSE, deny); }

}  // namespace vesk::com
