#pragma once

#include "automation/frame/com_object.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/page_engine.h"
#include "automation/frame/strings.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/attachment_list.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"

namespace vesk::com {

// Who holds a part in the tree: the message (for its root part) or a parent
// part list. When the body object wraps its part into multipart/mixed, the
// holder is pointed at the wrapper so the new children reach the message.
struct PartHolder {
  Ref<MessageEntity> message;
  Ref<PartList> parent;
  Ref<TextCodePage> code_page;  // of the message the part belongs to
};

// One body part: its content, type, encoding, file name and headers.
class MimeBodyObject : public DispatchObject<MimeBodyObject, IMimeBody, ErrorInfoSupport<IMimeBody>> {
 public:
  MimeBodyObject(Ref<MimePart> part, PartHolder holder) : part_(std::move(part)), holder_(std::move(holder)) {}
  static HRESULT Create(Ref<MimePart> part, PartHolder holder, IMimeBody** result) {
    return CreateInstance(result, std::move(part), std::move(holder));
  }

  STDMETHODIMP get_ContentEncoding(BSTR* value) override;
  STDMETHODIMP put_ContentEncoding(BSTR value) override;
  STDMETHODIMP get_ContentType(BSTR* value) override;
  STDMETHODIMP put_ContentType(BSTR value) override;
  STDMETHODIMP get_Charset(BSTR* value) override;
  STDMETHODIMP put_Charset(BSTR value) override;
  STDMETHODIMP get_FileName(BSTR* value) override;
  STDMETHODIMP put_FileName(BSTR value) override;
  STDMETHODIMP get_SimpleContent(BSTR* value) override;
  STDMETHODIMP get_RawMessage(BSTR* value) override;
  STDMETHODIMP put_RawMessage(BSTR value) override;
  STDMETHODIMP get_MimeBodies(IMimeBodies** value) override;
  STDMETHODIMP get_HeaderFields(IFieldDictionary** value) override;
  STDMETHODIMP LoadFile(BSTR file_name) override;
  STDMETHODIMP Save(BSTR file_name) override;
  STDMETHODIMP get_UseVirtualPath(VARIANT_BOOL* use) override;
  STDMETHODIMP put_UseVirtualPath(VARIANT_BOOL use) override;
  STDMETHODIMP get_DenyPhysicalPath(VARIANT_BOOL* deny) override;
  STDMETHODIMP Load(VARIANT data) override;

 private:
  HRESULT MapPath(BSTR file_name, std::string& physical);
  HRESULT LeafContent(Ref<ContentBuffer>& content);

  Ref<MimePart> part_;
  PartHolder holder_;
  VARIANT_BOOL use_virtual_path_ = VARIANT_FALSE;
};

// A list of body parts: the children of a multipart part, or the attachments
// of a message.
class MimeBodiesObject : public DispatchObject<MimeBodiesObject, IMimeBodies, ErrorInfoSupport<IMimeBodies>> {
 public:
  // Over the children of a multipart part.
  MimeBodiesObject(Ref<PartList> children, Ref<TextCodePage> code_page)
      : children_(std::move(children)), code_page_(std::move(code_page)) {}
  // Over a message's attachments, mapping file names as the message does.
  MimeBodiesObject(Ref<AttachmentList> attachments, Ref<MessageEntity> message, IServer* server,
                   Ref<TextCodePage> code_page)
      : attachments_(std::move(attachments)), message_(std::move(message)), server_(server),
        code_page_(std::move(code_page)) {}

  static HRESULT CreateForChildren(Ref<PartList> children, Ref<TextCodePage> code_page, IMimeBodies** result) {
    return CreateInstance(result, std::move(children), std::move(code_page));
  }
  static HRESULT CreateForAttachments(Ref<AttachmentList> attachments, Ref<MessageEntity> message, IServer* server,
                                      Ref<TextCodePage> code_page, IMimeBodies** result) {
    return CreateInstance(result, std::move(attachments), std::move(message), server, std::move(code_page));
  }

  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP get_Item(LONG index, IMimeBody** item) override;
  STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
  STDMETHODIMP Add(IMimeBody** item) override;
  STDMETHODIMP Remove(LONG index) override;
  STDMETHODIMP Clear() override;

 private:
  HRESULT HandOut(const Ref<MimePart>& part, bool give_server, IMimeBody** item);

  Ref<PartList> children_;
  Ref<AttachmentList> attachments_;
  Ref<MessageEntity> message_;
  ComPtr<IServer> server_;
  Ref<TextCodePage> code_page_;
};

}  // namespace vesk::com
