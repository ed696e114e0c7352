#pragma once

#include <new>
#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// Makes an error object with the class's versioned ProgID as source and the
// description, and makes it the thread's current error. Gives back `hr`, or
// DISP_E_EXCEPTION when `hr` is 0.
// The description is narrow text in `code_page`.
HRESULT ReportError(REFCLSID clsid, const std::string& description, REFIID iid = GUID_NULL, HRESULT hr = 0,
                    UINT code_page = CP_ACP);

// The same with a message of the string table as description ("Unknown Error"
// when the entry does not exist). An `hr` of 0 becomes 0x80040000 + id.
HRESULT ReportErrorById(REFCLSID clsid, UINT id, REFIID iid = GUID_NULL, HRESULT hr = 0);

// Entry `id` of the DLL's string table (at most 1023 characters); false when
// the entry does not exist.
bool LoadStringTableText(UINT id, std::string& text);

// Sets `last_error` to string-table entry `id`.
void LoadErrorText(std::string& last_error, UINT id);

// Sets `last_error` to string-table entry `id` used as a printf format.
void FormatErrorText(std::string& last_error, UINT id, ...);

// Runs a member body so that no exception crosses the COM boundary.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace vesk::com
