#include "automation/protocol_failure.h"

#include "automation/frame/errors.h"
#include "automation/frame/strings.h"

namespace vesk::com {

HRESULT ProtocolFailure(REFCLSID clsid, const std::string& last_error) {
  // The text may be the server's own, which servers write in UTF-8.
  ReportError(clsid, last_error, GUID_NULL, 0, ServerTextCodePage(last_error));
  return E_FAIL;
}

}  // namespace vesk::com
