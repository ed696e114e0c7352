#pragma once

#include <string>

#include "automation/frame/com_ptr.h"
#include "automation/frame/strings.h"
#include "automation/frame/win.h"

namespace vesk::test {

using com::Bstr;
using com::ComPtr;
using com::Variant;

// veskmail.dll beside the test program, and the DLL as this process loaded it.
std::wstring DllPath();
HMODULE Dll();

template <class T>
T DllExport(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(Dll(), name)));
}

inline HRESULT CanUnloadNow() { return DllExport<HRESULT(WINAPI*)()>("DllCanUnloadNow")(); }

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

std::string Narrow(const std::wstring& text);

// A file in the temporary folder, and whole files as bytes.
std::wstring TempPath(const wchar_t* name);
std::string ReadAll(const std::wstring& path);
void WriteAll(const std::wstring& path, const std::string& bytes);

// A property read through IDispatch, as a script reads it.
HRESULT GetByDispatch(IDispatch* object, DISPID id, VARIANT* result);

}  // namespace vesk::test
