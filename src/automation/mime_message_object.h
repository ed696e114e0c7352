#pragma once

#include "automation/frame/com_object.h"
#include "automation/frame/com_ptr.h"
#include "automation/frame/page_engine.h"
#include "automation/frame/strings.h"
#include "automation/message_model.h"
#include "automation/text_modes.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/attachment_list.h"
#include "engine/mime/message_entity.h"

namespace vesk::com {

// The derived interface as the object's main one, answering for the
// catalogued interface it extends too.
struct MimeMessageInterfaces : IMIMEMessageEx {
  using Interface = IMIMEMessageEx;
  using CataloguedInterface = IMIMEMessage;
};

// VeskMail.MIMEMessage: a MIME message to build, render, parse, load and save.
class MimeMessageObject : public DispatchObject<MimeMessageObject, MimeMessageInterfaces,
                                                ErrorInfoSupport<IMIMEMessageEx, IMIMEMessage>, IMessageModel> {
 public:
  MessageEntity* STDMETHODCALLTYPE Model() override { return message_.get(); }

  STDMETHODIMP get_Subject(BSTR* value) override;
  STDMETHODIMP put_Subject(BSTR value) override;
  STDMETHODIMP get_MessageID(BSTR* value) override;
  STDMETHODIMP put_MessageID(BSTR value) override;
  STDMETHODIMP get_Text(BSTR* value) override;
  STDMETHODIMP put_Text(BSTR value) override;
  STDMETHODIMP get_Date(VARIANT* value) override;
  STDMETHODIMP put_Date(VARIANT value) override;
  STDMETHODIMP get_From(IMailAddress** value) override;
  STDMETHODIMP get_To(IMailAddresses** value) override;
  STDMETHODIMP get_Cc(IMailAddresses** value) override;
  STDMETHODIMP get_Bcc(IMailAddresses** value) override;
  STDMETHODIMP get_MimeBody(IMimeBody** value) override;
  STDMETHODIMP get_RawMessage(BSTR* value) override;
  STDMETHODIMP put_RawMessage(BSTR value) override;
  STDMETHODIMP get_Attachments(IMimeBodies** value) override;
  STDMETHODIMP get_HeaderFields(IFieldDictionary** value) override;
  STDMETHODIMP Append(BSTR text) override;
  STDMETHODIMP Empty() override;
  STDMETHODIMP Save(BSTR file_name) override;
  STDMETHODIMP Load(BSTR file_name) override;
  STDMETHODIMP Attach(BSTR file_name) override;
  STDMETHODIMP OnStartPage(IUnknown* context) override;
  STDMETHODIMP OnEndPage() override;
  STDMETHODIMP get_UseVirtualPath(VARIANT_BOOL* use) override;
  STDMETHODIMP put_UseVirtualPath(VARIANT_BOOL use) override;
  STDMETHODIMP get_DenyPhysicalPath(VARIANT_BOOL* deny) override;
  STDMETHODIMP NewMessageID(BSTR* value) override;
  STDMETHODIMP get_Charset(BSTR* value) override;
  STDMETHODIMP put_Charset(BSTR value) override;
  STDMETHODIMP get_HTMLText(BSTR* value) override;
  STDMETHODIMP put_HTMLText(BSTR value) override;
  STDMETHODIMP AddRelated(BSTR file_name, BSTR* content_id) override;

 private:
  HRESULT GetHeader(const char* name, BSTR* value);
  HRESULT SetHeader(const char* name, BSTR value);
  HRESULT GetAddresses(const char* name, IMailAddresses** value);
  HRESULT MapPath(BSTR file_name, std::string& physical);
  HRESULT ReportOpenFailure(const std::string& physical);
  UINT code_page() const { return code_page_->value; }
  // The code page of the message's text, and the engine's mode with it.
  void SetCodePage(UINT code_page);
  void UseUtf8Text();
  void TakeCharsetOfReadMessage();
  HRESULT PutPartText(const Ref<MimePart>& part, BSTR text, bool append);
  std::string Rendered();

  Ref<MessageEntity> message_ = MakeRef<MessageEntity>(TextModeOfCodePage(CP_ACP));
  Ref<AttachmentList> attachments_ = MakeRef<AttachmentList>(message_);
  Ref<TextCodePage> code_page_ = MakeRef<TextCodePage>();
  ComPtr<IServer> page_server_;
  bool page_started_ = false;
  VARIANT_BOOL use_virtual_path_ = VARIANT_FALSE;
};

}  // namespace vesk::com
