#include "automation/retrieved_message.h"

#include "automation/frame/com_ptr.h"
#include "automation/frame/strings.h"
#include "automation/message_model.h"
#include "engine/mime/mime_reader.h"
#include "engine/streams/string_stream.h"

namespace vesk::com {

HRESULT RetrievedMessageMaker::Make(IUnknown* page_context, const std::string& text, IMIMEMessage** message) {
  if (!message) return E_INVALIDARG;
  *message = nullptr;
  if (!factory_) {
    const HRESULT hr =
        CoGetClassObject(CLSID_MIMEMessage, CLSCTX_SERVER, nullptr, IID_IClassFactory, factory_.put_void());
    if (FAILED(hr)) {
      factory_.reset();
      return hr;
    }
  }
  ComPtr<IMIMEMessage> created;
  const HRESULT hr = factory_->CreateInstance(nullptr, IID_IMIMEMessage, created.put_void());
  if (FAILED(hr)) return hr;
  if (page_context) created->OnStartPage(page_context);
  // Our own message object reads the bytes as they came; another
  // implementation gets them as text.
  if (const Ref<MessageEntity> model = OwnMessageModel(created.get())) {
    StringStream in{std::string_view(text)};
    ReadMessage(in, *model);
    // A message that says its text is UTF-8 crosses as UTF-8.
    ComPtr<IMIMEMessageEx> extended;
    if (model->DeclaresUtf8Text() && SUCCEEDED(created->QueryInterface(IID_IMIMEMessageEx, extended.put_void()))) {
      Bstr utf8(L"utf-8");
      extended->put_Charset(utf8.get());
    }
  } else if (Bstr raw; SUCCEEDED(ToBstr(text, raw.put()))) {
    created->put_RawMessage(raw.get());
  }
  *message = created.detach();
  return S_OK;
}

}  // namespace vesk::com
