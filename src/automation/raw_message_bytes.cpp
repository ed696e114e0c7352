#include "automation/raw_message_bytes.h"

#include "automation/frame/com_ptr.h"
#include "automation/frame/strings.h"

namespace vesk::com {

std::string RawMessageBytes(IMIMEMessage* message) {
  Bstr raw;
  if (FAILED(message->get_RawMessage(raw.put()))) return {};
  UINT code_page = CP_ACP;
  ComPtr<IMIMEMessageEx> extended;
  Bstr charset;
  if (SUCCEEDED(message->QueryInterface(IID_IMIMEMessageEx, extended.put_void())) &&
      SUCCEEDED(extended->get_Charset(charset.put())) && charset.length() != 0) {
    code_page = CP_UTF8;
  }
  return ToNarrow(raw.get(), code_page);
}

}  // namespace vesk::com
