#include "automation/mail_api_object.h"

#include "automation/frame/arrays.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/host_domain.h"
#include "automation/message_for_sending.h"
#include "automation/transfer_events.h"
#include "engine/common/error_texts.h"
#include "engine/protocols/sign_in.h"

namespace vesk::com {
namespace {

// Every text of this object is UTF-8, as the providers' JSON is: ids,
// folder names, queries, addresses and the providers' error messages.
constexpr UINT kText = CP_UTF8;

// The description the last failed call on the thread left, or `fallback`.
std::string ErrorDescription(const char* fallback) {
  ComPtr<IErrorInfo> error;
  Bstr text;
  if (GetErrorInfo(0, error.put()) == S_OK && error && SUCCEEDED(error->GetDescription(text.put())) &&
      text.length() > 0) {
    return ToNarrow(text.get(), kText);
  }
  return fallback;
}

}  // namespace

bool MailApiObject::Tokens::CurrentToken(std::string& token, std::string& error) {
  if (!oauth2) {
    error = MessageText(kMsgApiNoOAuth2);
    return false;
  }
  Bstr value;
  SetErrorInfo(0, nullptr);
  if (FAILED(oauth2->get_AccessToken(value.put()))) {
    error = ErrorDescription("The OAuth2 object gave no access token");
    return false;
  }
  Credentials::Replace(token, ToNarrow(value.get()));
  SecureZeroMemory(value.get(), value.length() * sizeof(wchar_t));
  return true;
}

bool MailApiObject::Tokens::RenewToken(std::string& error) {
  Bstr refresh;
  SetErrorInfo(0, nullptr);
  const bool has_refresh = SUCCEEDED(oauth2->get_RefreshToken(refresh.put())) && refresh.length() > 0;
  if (refresh.length() > 0) SecureZeroMemory(refresh.get(), refresh.length() * sizeof(wchar_t));
  if (SUCCEEDED(has_refresh ? oauth2->Refresh() : oauth2->RequestToken())) return true;
  error = ErrorDescription("The OAuth2 object could not renew its token");
  return false;
}

MailApiObject::MailApiObject() {
  client_.session().tokens = &tokens_;
  ReportProgressTo(*this, client_.progress);
}

HRESULT MailApiObject::Outcome(bool succeeded) {
  last_error_number_ = succeeded ? 0 : MessageIdOfText(client_.last_error());
  if (succeeded) return S_OK;
  ReportError(CLSID_VeskMailAPI, client_.last_error(), IID_IVeskMailAPI, 0, kText);
  return E_FAIL;
}

template <class Body>
HRESULT MailApiObject::Operation(Body&& body) {
  last_error_number_ = 0;
  return Guarded(std::forward<Body>(body));
}

STDMETHODIMP MailApiObject::get_Provider(BSTR* value) { return ToBstr(client_.provider(), value, kText); }
STDMETHODIMP MailApiObject::put_Provider(BSTR value) {
  return Operation([&] { return Outcome(client_.SetProvider(ToNarrow(value, kText))); });
}
STDMETHODIMP MailApiObject::get_BaseAddress(BSTR* value) { return ToBstr(client_.base_address(), value, kText); }
STDMETHODIMP MailApiObject::put_BaseAddress(BSTR value) {
  return Operation([&] { return Outcome(client_.SetBaseAddress(ToNarrow(value, kText))); });
}
STDMETHODIMP MailApiObject::get_Mailbox(BSTR* value) { return ToBstr(client_.mailbox(), value, kText); }
STDMETHODIMP MailApiObject::put_Mailbox(BSTR value) {
  return Operation([&] { return Outcome(client_.SetMailbox(ToNarrow(value, kText))); });
}
STDMETHODIMP MailApiObject::get_OAuth2(IVeskOAuth2** value) {
  if (!value) return E_POINTER;
  *value = ComPtr<IVeskOAuth2>(tokens_.oauth2).detach();
  return S_OK;
}
STDMETHODIMP MailApiObject::putref_OAuth2(IVeskOAuth2* value) {
  tokens_.oauth2 = value;
  return S_OK;
}
STDMETHODIMP MailApiObject::get_TimeOut(LONG* value) { return GetValue(client_.session().timeout_ms, value); }
STDMETHODIMP MailApiObject::put_TimeOut(LONG value) {
  if (value <= 0) return E_INVALIDARG;
  client_.session().timeout_ms = value;
  return S_OK;
}
// A path crosses as UTF-8 to the wide file functions.
STDMETHODIMP MailApiObject::get_TraceFile(BSTR* value) { return ToBstr(client_.session().trace.path(), value, kText); }
STDMETHODIMP MailApiObject::put_TraceFile(BSTR value) {
  return Guarded([&] {
    client_.session().trace.set_path(ToNarrow(value, kText));
    return S_OK;
  });
}
STDMETHODIMP MailApiObject::get_LastServerReply(BSTR* value) {
  return ToBstr(client_.session().last_reply(), value, kText);
}
STDMETHODIMP MailApiObject::get_LastError(LONG* value) { return GetValue(last_error_number_, value); }

STDMETHODIMP MailApiObject::Send(IDispatch* message) {
  return Operation([&] {
    std::string bytes;
    if (!BytesForHandingOver(message, [] { return HostDomain(); }, bytes)) {
      client_.session().Fail(MessageText(kMsgInvalidMessageObject));
      return Outcome(false);
    }
    return Outcome(client_.Send(bytes));
  });
}

STDMETHODIMP MailApiObject::ListMessages(BSTR folder, LONG max_count, VARIANT* ids) {
  if (!ids) return E_POINTER;
  return Operation([&] {
    std::vector<std::string> found;
    if (!client_.ListMessages(ToNarrow(folder, kText), max_count, found)) return Outcome(false);
    return MakeTextArray(found, ids, kText);
  });
}

STDMETHODIMP MailApiObject::Search(BSTR query, LONG max_count, VARIANT* ids) {
  if (!ids) return E_POINTER;
  return Operation([&] {
    std::vector<std::string> found;
    if (!client_.Search(ToNarrow(query, kText), max_count, found)) return Outcome(false);
    return MakeTextArray(found, ids, kText);
  });
}

STDMETHODIMP MailApiObject::Retrieve(BSTR id, IDispatch** message) {
  if (!message) return E_POINTER;
  *message = nullptr;
  return Operation([&] {
    std::string mime;
    if (!client_.Retrieve(ToNarrow(id, kText), mime)) return Outcome(false);
    IMIMEMessage* made = nullptr;
    const HRESULT hr = messages_.Make(nullptr, mime, &made);
    *message = made;
    return hr;
  });
}

STDMETHODIMP MailApiObject::MessageSize(BSTR id, LONG* size) {
  if (!size) return E_POINTER;
  *size = 0;
  return Operation([&] {
    std::int64_t found = 0;
    if (!client_.MessageSize(ToNarrow(id, kText), found)) return Outcome(false);
    *size = static_cast<LONG>(found);
    return S_OK;
  });
}

STDMETHODIMP MailApiObject::MoveMessage(BSTR id, BSTR folder, BSTR* new_id) {
  if (!new_id) return E_POINTER;
  *new_id = nullptr;
  return Operation([&] {
    std::string moved;
    if (!client_.MoveMessage(ToNarrow(id, kText), ToNarrow(folder, kText), moved)) return Outcome(false);
    return ToBstr(moved, new_id, kText);
  });
}

STDMETHODIMP MailApiObject::DeleteMessage(BSTR id, VARIANT_BOOL permanently, BSTR* new_id) {
  if (!new_id) return E_POINTER;
  *new_id = nullptr;
  return Operation([&] {
    std::string moved;
    if (!client_.DeleteMessage(ToNarrow(id, kText), permanently != VARIANT_FALSE, moved)) return Outcome(false);
    return ToBstr(moved, new_id, kText);
  });
}

STDMETHODIMP MailApiObject::MarkRead(BSTR id, VARIANT_BOOL read) {
  return Operation([&] { return Outcome(client_.MarkRead(ToNarrow(id, kText), read != VARIANT_FALSE)); });
}

}  // namespace vesk::com
