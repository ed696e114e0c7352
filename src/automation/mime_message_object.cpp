#include "automation/mime_message_object.h"

#include <algorithm>

#include "automation/content_sources.h"
#include "automation/field_dictionary_object.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/host_domain.h"
#include "automation/local_dates.h"
#include "automation/mail_address_objects.h"
#include "automation/mime_body_objects.h"
#include "automation/page_server.h"
#include "automation/path_mapper.h"
#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/html_text.h"
#include "engine/mime/mail_dates.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/outgoing_message.h"
#include "engine/platform/files.h"
#include "engine/streams/file_stream.h"
#include "engine/streams/string_stream.h"

namespace vesk::com {

HRESULT MimeMessageObject::GetHeader(const char* name, BSTR* value) {
  return Guarded([&] {
    std::string text;
    message_->headers()->Get(name, text);
    return ToBstr(text, value, code_page());
  });
}

HRESULT MimeMessageObject::SetHeader(const char* name, BSTR value) {
  return Guarded([&] {
    std::string text;
    if (HRESULT hr = HeaderTextFromCaller(value, code_page(), text); FAILED(hr)) return hr;
    message_->headers()->Set(name, text);
    return S_OK;
  });
}

// Encoded-words (RFC 2047) read as the text they stand for.
STDMETHODIMP MimeMessageObject::get_Subject(BSTR* value) {
  return Guarded([&] {
    std::string text;
    message_->headers()->Get("Subject", text);
    return HeaderTextToBstr(text, value, code_page());
  });
}
STDMETHODIMP MimeMessageObject::put_Subject(BSTR value) { return SetHeader("Subject", value); }
STDMETHODIMP MimeMessageObject::get_MessageID(BSTR* value) { return GetHeader("Message-ID", value); }
STDMETHODIMP MimeMessageObject::put_MessageID(BSTR value) { return SetHeader("Message-ID", value); }

namespace {

// A text part is read from the charset it names (in both modes), else in
// the mode's code page.
HRESULT TextOfPart(const Ref<MimePart>& part, BSTR* value, UINT code_page) {
  std::string charset;
  if (!part || !part->content()) return ToBstr({}, value);
  GetParameter(*part->content_type_parameters(), "charset", charset);
  return ContentToText(part->content()->view(), value, code_page, charset);
}

}  // namespace

// Text put into a part goes into the charset the part names when that holds
// it; otherwise it is made as the mode makes text, and a part that named
// another charset is labelled with the one its bytes are really in.
HRESULT MimeMessageObject::PutPartText(const Ref<MimePart>& part, BSTR text, bool append) {
  const Ref<ContentBuffer> content = part ? part->content() : Ref<ContentBuffer>();
  if (!content) return E_UNEXPECTED;
  std::string charset, bytes, error;
  GetParameter(*part->content_type_parameters(), "charset", charset);
  bool in_charset = false;
  if (HRESULT hr = TextToPartContent(text, charset, bytes, in_charset, error, code_page()); FAILED(hr)) {
    return ReportError(CLSID_MIMEMessage, error, GUID_NULL, hr);
  }
  const bool was_empty = content->size() == 0;
  if (append) {
    // Appended text keeps bare line feeds: carriage returns are dropped.
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    content->Append(bytes.data(), bytes.size());
  } else {
    content->Assign(bytes.data(), bytes.size());
  }
  if (!in_charset && !charset.empty() && (!append || was_empty)) {
    part->content_type_parameters()->Set("charset", code_page() == CP_UTF8 ? "utf-8" : CharsetOfCodePage(GetACP()));
  }
  return S_OK;
}

STDMETHODIMP MimeMessageObject::get_Text(BSTR* value) {
  return Guarded([&] {
    message_->GetOrCreateMainText();
    return TextOfPart(FindMainTextPart(message_->root()), value, code_page());
  });
}

STDMETHODIMP MimeMessageObject::put_Text(BSTR value) {
  return Guarded([&] {
    message_->GetOrCreateMainText();
    return PutPartText(FindMainTextPart(message_->root()), value, false);
  });
}

STDMETHODIMP MimeMessageObject::Append(BSTR text) {
  return Guarded([&] {
    message_->GetOrCreateMainText();
    return PutPartText(FindMainTextPart(message_->root()), text, true);
  });
}

STDMETHODIMP MimeMessageObject::get_Date(VARIANT* value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    VariantInit(value);
    std::string text;
    message_->headers()->Get("Date", text);
    Bstr wide;
    if (HRESULT hr = ToBstr(text, wide.put(), code_page()); FAILED(hr)) return hr;
    DATE date = 0;
    if (LocalDateOfMailDate(text, date) || SUCCEEDED(VarDateFromStr(wide.get(), LOCALE_USER_DEFAULT, 0, &date))) {
      V_VT(value) = VT_DATE;
      V_DATE(value) = date;
    } else {
      V_VT(value) = VT_BSTR;
      V_BSTR(value) = wide.detach();
    }
    return S_OK;
  });
}

// A date is written as an RFC 5322 date with the local zone offset; a string
// as it is. Any other kind of value is refused and the field stays as it was.
STDMETHODIMP MimeMessageObject::put_Date(VARIANT value) {
  return Guarded([&] {
    const VARIANT* given = &value;
    if (V_VT(given) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(given)) given = V_VARIANTREF(given);
    std::string text;
    if (V_VT(given) == VT_DATE) {
      if (!MailDateOfLocalDate(V_DATE(given), text)) return E_INVALIDARG;
    } else if (V_VT(given) == VT_BSTR) {
      if (HRESULT hr = HeaderTextFromCaller(V_BSTR(given), code_page(), text); FAILED(hr)) return hr;
    } else {
      return ReportErrorById(CLSID_MIMEMessage, kMsgUnknownValueType);
    }
    message_->headers()->Set("Date", text);
    return S_OK;
  });
}

STDMETHODIMP MimeMessageObject::get_From(IMailAddress** value) {
  return Guarded([&] {
    const Ref<AddressList> list = message_->FindAddressList("From", true);
    if (list->Count() == 0) list->Add();
    return MailAddressObject::Create(list->Item(0), code_page_, value);
  });
}

HRESULT MimeMessageObject::GetAddresses(const char* name, IMailAddresses** value) {
  return Guarded([&] { return MailAddressesObject::Create(message_->FindAddressList(name, true), code_page_, value); });
}

STDMETHODIMP MimeMessageObject::get_To(IMailAddresses** value) { return GetAddresses("To", value); }
STDMETHODIMP MimeMessageObject::get_Cc(IMailAddresses** value) { return GetAddresses("Cc", value); }
STDMETHODIMP MimeMessageObject::get_Bcc(IMailAddresses** value) { return GetAddresses("Bcc", value); }

STDMETHODIMP MimeMessageObject::get_MimeBody(IMimeBody** value) {
  return Guarded([&] {
    const Ref<MimePart> root = message_->root();
    root->user_data = MakePageServerSlot(page_server_.get());
    return MimeBodyObject::Create(root, PartHolder{message_, {}, code_page_}, value);
  });
}

// Rendered in memory: the same bytes Save writes to a file.
STDMETHODIMP MimeMessageObject::get_RawMessage(BSTR* value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    return ToBstr(Rendered(), value, code_page());
  });
}

// Text the ANSI code page cannot hold is read as UTF-8 (RFC 6532), so that
// no character becomes "?".
STDMETHODIMP MimeMessageObject::put_RawMessage(BSTR value) {
  return Guarded([&] {
    if (code_page() != CP_UTF8 && !AnsiHoldsEveryCharacter(value)) UseUtf8Text();
    StringStream in(ToNarrow(value, code_page()));
    ReadMessage(in, *message_);
    TakeCharsetOfReadMessage();
    return S_OK;
  });
}

void MimeMessageObject::SetCodePage(UINT code_page) {
  code_page_->value = code_page;
  message_->set_text_mode(TextModeOfCodePage(code_page));
}

void MimeMessageObject::UseUtf8Text() { SetCodePage(CP_UTF8); }

// A message read whose text says it is UTF-8 keeps every character when a
// caller edits it: its text crosses as UTF-8 from then on.
void MimeMessageObject::TakeCharsetOfReadMessage() {
  if (code_page() != CP_UTF8 && message_->DeclaresUtf8Text()) UseUtf8Text();
}

STDMETHODIMP MimeMessageObject::get_Attachments(IMimeBodies** value) {
  return Guarded([&] {
    return MimeBodiesObject::CreateForAttachments(attachments_, message_, page_server_.get(), code_page_, value);
  });
}

STDMETHODIMP MimeMessageObject::get_HeaderFields(IFieldDictionary** value) {
  return Guarded([&] { return FieldDictionaryObject::Create(message_->headers(), code_page_, value); });
}

STDMETHODIMP MimeMessageObject::Empty() {
  return Guarded([&] {
    message_->Reset();
    return S_OK;
  });
}

HRESULT MimeMessageObject::MapPath(BSTR file_name, std::string& physical) {
  return MapFilePath(page_server_.get(), use_virtual_path_ != VARIANT_FALSE, ToNarrow(file_name, CP_UTF8), physical) ? S_OK
                                                                                                          : E_FAIL;
}

HRESULT MimeMessageObject::ReportOpenFailure(const std::string& physical) {
  return ReportUtf8Error(CLSID_MIMEMessage, FormatMessageText(kMsgOpenFileFailed, physical.c_str()), E_FAIL);
}

// The file is written whole or not at all: the text is rendered first, then
// written beside the file, which it replaces only once complete (an old file
// stays as it was when writing fails).
STDMETHODIMP MimeMessageObject::Save(BSTR file_name) {
  return Guarded([&] {
    std::string path;
    if (FAILED(MapPath(file_name, path))) return E_FAIL;
    const std::string text = Rendered();
    if (!files::WriteWholeFile(path, text.data(), text.size())) return ReportOpenFailure(path);
    return S_OK;
  });
}

STDMETHODIMP MimeMessageObject::Load(BSTR file_name) {
  return Guarded([&] {
    std::string path;
    if (FAILED(MapPath(file_name, path))) return E_FAIL;
    const files::FileHandle file = files::OpenForRead(path);
    if (file == files::kNoFile) return ReportOpenFailure(path);
    {
      FileStream in(file);
      ReadMessage(in, *message_);
    }
    files::Close(file);
    TakeCharsetOfReadMessage();
    return S_OK;
  });
}

STDMETHODIMP MimeMessageObject::Attach(BSTR file_name) {
  return Guarded([&] {
    std::string path;
    if (FAILED(MapPath(file_name, path))) return E_FAIL;
    return attachments_->AttachFile(path) ? S_OK : ReportOpenFailure(path);
  });
}

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

std::string MimeMessageObject::Rendered() { return RenderedBytes(*message_); }

STDMETHODIMP MimeMessageObject::NewMessageID(BSTR* value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    const std::string id = NewMessageId(HostDomain());
    message_->headers()->Set("Message-ID", id);
    return ToBstr(id, value);
  });
}

STDMETHODIMP MimeMessageObject::get_Charset(BSTR* value) {
  return GetText(code_page() == CP_UTF8 ? "utf-8" : "", value);
}

// Empty (the ANSI code page) or "utf-8" in any letter case; anything else is
// refused and the mode stays as it was.
STDMETHODIMP MimeMessageObject::put_Charset(BSTR value) {
  return Guarded([&] {
    const std::string charset = ToNarrow(value);
    const bool utf8 = EqualsIgnoringAsciiCase(charset, "utf-8");
    if (!utf8 && !charset.empty()) return ReportErrorById(CLSID_MIMEMessage, kMsgUnknownMessageCharset, GUID_NULL, E_INVALIDARG);
    SetCodePage(utf8 ? CP_UTF8 : CP_ACP);
    return S_OK;
  });
}

STDMETHODIMP MimeMessageObject::get_HTMLText(BSTR* value) {
  return Guarded([&] { return TextOfPart(FindHtmlPart(message_->root()), value, code_page()); });
}

STDMETHODIMP MimeMessageObject::put_HTMLText(BSTR value) {
  return Guarded([&] {
    if (!FindHtmlPart(message_->root())) SetHtmlText(*message_, {});
    return PutPartText(FindHtmlPart(message_->root()), value, false);
  });
}

STDMETHODIMP MimeMessageObject::AddRelated(BSTR file_name, BSTR* content_id) {
  return Guarded([&] {
    if (!content_id) return E_POINTER;
    *content_id = nullptr;
    std::string path;
    if (FAILED(MapPath(file_name, path))) return E_FAIL;
    const std::string id = AddRelatedFile(*message_, path, HostDomain());
    if (id.empty()) return ReportOpenFailure(path);
    return ToBstr(id, content_id);
  });
}

}  // namespace vesk::com
