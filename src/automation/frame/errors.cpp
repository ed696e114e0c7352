#include "automation/frame/errors.h"

#include <cstdarg>
#include <cstdio>

#include "automation/frame/com_ptr.h"
#include "automation/frame/module.h"
#include "automation/frame/strings.h"

namespace vesk::com {

HRESULT ReportError(REFCLSID clsid, const std::string& description, REFIID iid, HRESULT hr, UINT code_page) {
  Bstr text;
  ToBstr(description, text.put(), code_page);
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.put()))) {
    create->SetGUID(iid);
    LPOLESTR prog_id = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(clsid, &prog_id))) {
      create->SetSource(prog_id);
      CoTaskMemFree(prog_id);
    }
    create->SetHelpFile(nullptr);
    create->SetHelpContext(0);
    create->SetDescription(text.get());
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(info))) SetErrorInfo(0, info.get());
  }
  return hr == 0 ? DISP_E_EXCEPTION : hr;
}

HRESULT ReportErrorById(REFCLSID clsid, UINT id, REFIID iid, HRESULT hr) {
  std::string text;
  if (!LoadStringTableText(id, text)) text = "Unknown Error";
  if (hr == 0) hr = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, id);
  return ReportError(clsid, text, iid, hr);
}

bool LoadStringTableText(UINT id, std::string& text) {
  char buffer[1024];
  const int length = LoadStringA(Module::Instance(), id, buffer, sizeof buffer);
  if (length <= 0) return false;
  text.assign(buffer, static_cast<size_t>(length));
  return true;
}

void LoadErrorText(std::string& last_error, UINT id) {
  if (!LoadStringTableText(id, last_error)) last_error.clear();
}

void FormatErrorText(std::string& last_error, UINT id, ...) {
  std::string format;
  LoadErrorText(format, id);
  va_list args;
  va_start(args, id);
  char buffer[1024];
  const int length = std::vsnprintf(buffer, sizeof buffer, format.c_str(), args);
  va_end(args);
  last_error.assign(buffer, length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
}

}  // namespace vesk::com
