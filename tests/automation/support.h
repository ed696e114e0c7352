#pragma once

#include <string>

#include "automation/frame/com_ptr.h"
#include "automation/frame/strings.h"
#include "automation/frame/win.h"

namespace vesk::test {

using com::Bstr;
using com::ComPtr;
using com::Variant;

// veskmail.dll beside the test program.
std::wstring DllPath();

// The DLL as loaded by this process (for its exports).
HMODULE Dll();

template <class T>
T DllExport(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(Dll(), name)));
}

// Creates a registered class by ProgID and asks for interface I.
template <class I>
HRESULT CreateByProgId(const wchar_t* prog_id, ComPtr<I>& result) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(prog_id, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(I), result.put_void());
}

// The thread's current error object, taken (and so cleared).
struct ErrorInfoText {
  bool present = false;
  std::wstring source;
  std::wstring description;
};
ErrorInfoText TakeErrorInfo();

// Reads a property or calls a method through IDispatch by name.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT arg_count,
                     VARIANT* result);

// Narrow text of a wide string (for readable assertions).
std::string Narrow(const std::wstring& text);

}  // namespace vesk::test
