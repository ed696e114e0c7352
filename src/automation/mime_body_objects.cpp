#include "automation/mime_body_objects.h"

#include <algorithm>
#include <vector>

#include "automation/content_sources.h"
#include "automation/field_dictionary_object.h"
#include "automation/frame/errors.h"
#include "automation/frame/properties.h"
#include "automation/frame/variant_enumerator.h"
#include "automation/page_server.h"
#include "automation/path_mapper.h"
#include "automation/text_modes.h"
#include "engine/common/error_texts.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/streams/string_stream.h"

namespace vesk::com {
namespace {

// Descriptions for what the body members refuse beyond their documented codes.
constexpr char kNotLeafContent[] = "This body holds other body parts, not content of its own";

HRESULT BodyError(const char* text, HRESULT hr) { return ReportError(CLSID_MIMEMessage, text, GUID_NULL, hr); }

// A file that cannot be read or written: the description names it, so that
// the failure cannot pass for success with an empty text.
HRESULT OpenFailure(const std::string& path) {
  return ReportUtf8Error(CLSID_MIMEMessage, FormatMessageText(kMsgOpenFileFailed, path.c_str()), E_FAIL);
}

}  // namespace

// --- MimeBodyObject -------------------------------------------------------

STDMETHODIMP MimeBodyObject::get_ContentEncoding(BSTR* value) {
  return Guarded([&] {
    std::string encoding;
    part_->GetTransferEncoding(encoding);
    return GetText(encoding, value);
  });
}

STDMETHODIMP MimeBodyObject::put_ContentEncoding(BSTR value) {
  return Guarded([&] {
    part_->SetTransferEncoding(ToNarrow(value));
    return S_OK;
  });
}

// A part without a type is text/plain (RFC 2045 section 5.2), and reads so.
STDMETHODIMP MimeBodyObject::get_ContentType(BSTR* value) {
  return Guarded([&] {
    if (part_->type().empty() && part_->subtype().empty()) return GetText("text/plain", value);
    return GetText(part_->type() + "/" + part_->subtype(), value);
  });
}

// "type/subtype" taken as it stands: whatever follows the first slash is the
// subtype. Without a slash nothing changes.
STDMETHODIMP MimeBodyObject::put_ContentType(BSTR value) {
  return Guarded([&] {
    const std::string text = ToNarrow(value);
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return E_INVALIDARG;
    part_->SetType(std::string_view(text).substr(0, slash));
    part_->SetSubtype(std::string_view(text).substr(slash + 1));
    return S_OK;
  });
}

STDMETHODIMP MimeBodyObject::get_Charset(BSTR* value) {
  return Guarded([&] {
    std::string charset;
    part_->content_type_parameters()->Get("charset", charset);
    return GetText(charset, value);
  });
}

STDMETHODIMP MimeBodyObject::put_Charset(BSTR value) {
  return Guarded([&] {
    part_->content_type_parameters()->Set("charset", ToNarrow(value));
    return S_OK;
  });
}

STDMETHODIMP MimeBodyObject::get_FileName(BSTR* value) {
  return Guarded([&] {
    std::string charset;
    const std::string name = part_->FileName(&charset);
    return CharsetTextToBstr(name, charset, value, CodePageOf(holder_.code_page));
  });
}

// The same name goes to Content-Disposition (filename) and Content-Type
// (name), as mail readers look for either.
STDMETHODIMP MimeBodyObject::put_FileName(BSTR value) {
  return Guarded([&] {
    std::string name;
    if (HRESULT hr = HeaderTextFromCaller(value, CodePageOf(holder_.code_page), name); FAILED(hr)) return hr;
    part_->disposition_parameters()->Set("filename", name);
    part_->content_type_parameters()->Set("name", name);
    return S_OK;
  });
}

STDMETHODIMP MimeBodyObject::get_SimpleContent(BSTR* value) {
  return Guarded([&] {
    const Ref<ContentBuffer> content = part_->content();
    std::string charset;
    GetParameter(*part_->content_type_parameters(), "charset", charset);
    return content ? ContentToText(content->view(), value, CodePageOf(holder_.code_page), charset)
                   : GetText(std::string(), value);
  });
}

STDMETHODIMP MimeBodyObject::get_RawMessage(BSTR* value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    StringStream out;
    const UINT code_page = CodePageOf(holder_.code_page);
    WriteOptions options;
    options.text_mode = &TextModeOfCodePage(code_page);
    WritePart(out, *part_, options);
    return ToBstr(out.text(), value, code_page);
  });
}

// The fields read are appended after those the part has; the body follows
// whatever Content-Type they bring.
STDMETHODIMP MimeBodyObject::put_RawMessage(BSTR value) {
  return Guarded([&] {
    StringStream in(ToNarrow(value, CodePageOf(holder_.code_page)));
    return ReadPart(in, *part_) ? S_OK : E_FAIL;
  });
}

STDMETHODIMP MimeBodyObject::get_MimeBodies(IMimeBodies** value) {
  return Guarded([&] {
    if (!value) return E_POINTER;
    *value = nullptr;
    if (part_->body_kind() != BodyKind::kMultipart) {
      const Ref<MimePart> wrapper = EnsureMultipartMixed(part_);
      // Whoever held the part now holds the wrapper, so that parts added
      // through it belong to the message.
      if (holder_.message && holder_.message->root() == part_) {
        holder_.message->set_root(wrapper);
      } else if (holder_.parent) {
        for (size_t i = 0; i < holder_.parent->Count(); ++i) {
          if (holder_.parent->At(i) == part_) {
            holder_.parent->RemoveAt(i);
            holder_.parent->Insert(i, wrapper);
            break;
          }
        }
      }
      wrapper->user_data = part_->user_data;
      part_ = wrapper;
    }
    const Ref<PartList> children = part_->parts();
    children->user_data = part_->user_data;
    return MimeBodiesObject::CreateForChildren(children, holder_.code_page, value);
  });
}

STDMETHODIMP MimeBodyObject::get_HeaderFields(IFieldDictionary** value) {
  return Guarded([&] { return FieldDictionaryObject::Create(part_->headers(), holder_.code_page, value); });
}

HRESULT MimeBodyObject::MapPath(BSTR file_name, std::string& physical) {
  return MapFilePath(PageServerOf(part_->user_data), use_virtual_path_ != VARIANT_FALSE, ToNarrow(file_name, CP_UTF8), physical)
             ? S_OK
             : E_FAIL;
}

HRESULT MimeBodyObject::LeafContent(Ref<ContentBuffer>& content) {
  content = part_->content();
  return content ? S_OK : BodyError(kNotLeafContent, E_FAIL);
}

STDMETHODIMP MimeBodyObject::LoadFile(BSTR file_name) {
  return Guarded([&] {
    std::string path;
    Ref<ContentBuffer> content;
    if (FAILED(MapPath(file_name, path))) return E_FAIL;
    if (HRESULT hr = LeafContent(content); FAILED(hr)) return hr;
    return content->LoadFromFile(path) ? S_OK : OpenFailure(path);
  });
}

STDMETHODIMP MimeBodyObject::Save(BSTR file_name) {
  return Guarded([&] {
    std::string path;
    Ref<ContentBuffer> content;
    if (FAILED(MapPath(file_name, path))) return E_FAIL;
    if (HRESULT hr = LeafContent(content); FAILED(hr)) return hr;
    return content->SaveToFile(path) ? S_OK : OpenFailure(path);
  });
}

STDMETHODIMP MimeBodyObject::get_UseVirtualPath(VARIANT_BOOL* use) { return GetValue(use_virtual_path_, use); }
STDMETHODIMP MimeBodyObject::put_UseVirtualPath(VARIANT_BOOL use) {
  use_virtual_path_ = use;
  return S_OK;
}
STDMETHODIMP MimeBodyObject::get_DenyPhysicalPath(VARIANT_BOOL* deny) { return GetValue(VARIANT_FALSE, deny); }

// Content from a string, from a byte source or from a TextStream; other kinds
// of value change nothing.
STDMETHODIMP MimeBodyObject::Load(VARIANT data) {
  return Guarded([&] {
    const VARIANT* value = &data;
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value)) value = V_VARIANTREF(value);
    const VARTYPE type = V_VT(value) & ~VT_BYREF;
    if (type != VT_BSTR && type != VT_DISPATCH) return S_OK;
    Ref<ContentBuffer> content;
    if (HRESULT hr = LeafContent(content); FAILED(hr)) return hr;
    std::string bytes, error;
    HRESULT hr;
    if (type == VT_BSTR) {
      hr = TextToContent((V_VT(value) & VT_BYREF) ? *V_BSTRREF(value) : V_BSTR(value), bytes, error,
                         CodePageOf(holder_.code_page));
    } else {
      IDispatch* source = (V_VT(value) & VT_BYREF) ? *V_DISPATCHREF(value) : V_DISPATCH(value);
      hr = ContentFromObject(source, bytes, error);
    }
    if (FAILED(hr)) return error.empty() ? hr : BodyError(error.c_str(), hr);
    content->Assign(bytes.data(), bytes.size());
    return S_OK;
  });
}

// --- Enumeration ------------------------------------------------------------

namespace {

// The children of a part list as they are at each call, or a fixed list of
// parts (the attachments when the enumerator was made).
struct BodySequence {
  ComPtr<IMimeBodies> owner;  // keeps the collection (and its list) alive
  Ref<PartList> children;
  std::vector<Ref<MimePart>> snapshot;
  Ref<TextCodePage> code_page;
  size_t Size() const { return children ? children->Count() : snapshot.size(); }
  HRESULT MakeItem(size_t index, IDispatch** item) const {
    const Ref<MimePart>& part = children ? children->At(index) : snapshot[index];
    return MimeBodyObject::Create(part, PartHolder{{}, children, code_page}, reinterpret_cast<IMimeBody**>(item));
  }
};

}  // namespace

// --- MimeBodiesObject -------------------------------------------------------

HRESULT MimeBodiesObject::HandOut(const Ref<MimePart>& part, bool give_server, IMimeBody** item) {
  if (give_server) part->user_data = children_ ? children_->user_data : MakePageServerSlot(server_.get());
  Ref<PartList> parent = children_ ? children_ : message_->root()->parts();
  return MimeBodyObject::Create(part, PartHolder{{}, parent, code_page_}, item);
}

STDMETHODIMP MimeBodiesObject::get_Count(LONG* count) {
  return Guarded([&] { return GetValue(children_ ? children_->Count() : attachments_->Count(), count); });
}

STDMETHODIMP MimeBodiesObject::get_Item(LONG position, IMimeBody** item) {
  return Guarded([&] {
    if (!item) return E_POINTER;
    *item = nullptr;
    if (children_) {
      size_t index = 0;
      if (!ToIndex(position, children_->Count(), index)) return DISP_E_BADINDEX;
      return HandOut(children_->At(index), true, item);
    }
    if (!attachments_->RootIsMultipart()) return E_UNEXPECTED;
    const Ref<MimePart> part = position < 1 ? Ref<MimePart>() : attachments_->Item(static_cast<size_t>(position));
    if (!part) return DISP_E_BADINDEX;
    return HandOut(part, true, item);
  });
}

STDMETHODIMP MimeBodiesObject::get__NewEnum(IUnknown** enumerator) {
  return Guarded([&] {
    if (!enumerator) return E_POINTER;
    *enumerator = nullptr;
    // A message whose body is a single part has no attachments: walking them
    // yields nothing (Count says 0), so that For Each works on any message.
    std::vector<Ref<MimePart>> snapshot;
    if (!children_) snapshot = attachments_->Snapshot();
    return VariantEnumerator<BodySequence>::Create({ComPtr<IMimeBodies>(this), children_, std::move(snapshot), code_page_},
                                                  enumerator);
  });
}

STDMETHODIMP MimeBodiesObject::Add(IMimeBody** item) {
  return Guarded([&] {
    if (!item) return E_POINTER;
    *item = nullptr;
    if (!children_) return HandOut(attachments_->Add(), true, item);
    const Ref<MimePart> part = MakeRef<MimePart>();
    children_->Append(part);
    return HandOut(part, true, item);
  });
}

STDMETHODIMP MimeBodiesObject::Remove(LONG position) {
  return Guarded([&] {
    if (children_) {
      size_t index = 0;
      if (!ToIndex(position, children_->Count(), index)) return DISP_E_BADINDEX;
      children_->RemoveAt(index);
      return S_OK;
    }
    if (!attachments_->RootIsMultipart()) return E_UNEXPECTED;
    return position >= 1 && attachments_->Remove(static_cast<size_t>(position)) ? S_OK : DISP_E_BADINDEX;
  });
}

STDMETHODIMP MimeBodiesObject::Clear() {
  return Guarded([&] {
    if (children_) {
      children_->Clear();
    } else {
      attachments_->Clear();
    }
    return S_OK;
  });
}

}  // namespace vesk::com
