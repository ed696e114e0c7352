// Long use through the DLL, called the way a script calls it (IDispatch, by
// name): rounds of connect / retrieve / disconnect against the private
// Dovecot over POP3 and IMAP4 (a new object each round, alternately), then
// rounds of compose + attach + RawMessage render + parse back. Prints the resident
// memory at the start, the middle and the end of each run; what matters is
// the growth from the middle to the end.
//   soak.exe [message rounds (100000)] [session rounds (10000)]
// Needs VESK_POP3_PORT and VESK_IMAP_PORT, and user vesk-soak with at least
// one message (bench/soak/run_soak.sh sees to both).
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>

namespace {

// A VARIANT that clears itself.
struct Var : VARIANT {
  Var() { VariantInit(this); }
  explicit Var(const wchar_t* text) { VariantInit(this), vt = VT_BSTR, bstrVal = SysAllocString(text); }
  explicit Var(long value) { VariantInit(this), vt = VT_I4, lVal = value; }
  Var(const Var&) = delete;
  ~Var() { VariantClear(this); }
  IDispatch* object() const { return vt == VT_DISPATCH ? pdispVal : nullptr; }
};

[[noreturn]] void Fail(const wchar_t* what, HRESULT hr, const EXCEPINFO& error) {
  std::printf("%ls failed: 0x%08lX %ls\n", what, static_cast<unsigned long>(hr),
              error.bstrDescription ? error.bstrDescription : L"");
  std::exit(1);
}

// obj.name(args) as a script would call it; args in the order written.
void Invoke(IDispatch* obj, const wchar_t* name, WORD kind, std::initializer_list<const VARIANT*> args, Var* result) {
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  EXCEPINFO error{};
  HRESULT hr = obj->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) Fail(name, hr, error);
  VARIANT reversed[4];
  int n = 0;
  for (const VARIANT* arg : args) reversed[args.size() - 1 - n++] = *arg;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed, kind == DISPATCH_PROPERTYPUT ? &named : nullptr, static_cast<UINT>(n),
                    kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
  hr = obj->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result, &error, nullptr);
  if (FAILED(hr)) Fail(name, hr, error);
  SysFreeString(error.bstrSource), SysFreeString(error.bstrDescription), SysFreeString(error.bstrHelpFile);
}

void Put(IDispatch* obj, const wchar_t* name, const Var& value) { Invoke(obj, name, DISPATCH_PROPERTYPUT, {&value}, nullptr); }
void Get(IDispatch* obj, const wchar_t* name, Var& result) { Invoke(obj, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &result); }
void Call(IDispatch* obj, const wchar_t* name, std::initializer_list<const VARIANT*> args = {}, Var* result = nullptr) {
  Invoke(obj, name, DISPATCH_METHOD, args, result);
}

void Create(const wchar_t* prog_id, Var& object) {
  CLSID clsid;
  EXCEPINFO none{};
  HRESULT hr = CLSIDFromProgID(prog_id, &clsid);
  if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void**)&object.pdispVal);
  if (FAILED(hr)) Fail(prog_id, hr, none);
  object.vt = VT_DISPATCH;
}

double ResidentMegabytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.WorkingSetSize / (1024.0 * 1024.0);
}

void MessageRound(long round, const Var& attachment) {
  Var message, from, to, added, raw, parsed, subject, attachments, count;
  Create(L"VeskMail.MIMEMessage", message);
  Put(message.object(), L"Subject", Var((L"Soak round " + std::to_wstring(round)).c_str()));
  Get(message.object(), L"From", from);
  Put(from.object(), L"Address", Var(L"soak@vesk.test"));
  Get(message.object(), L"To", to);
  Call(to.object(), L"Add", {}, &added);
  Put(added.object(), L"Address", Var(L"vesk@localhost"));
  Put(message.object(), L"Text", Var(L"Line one\r\nLine two, a little longer than the first.\r\n"));
  Call(message.object(), L"Attach", {&attachment});
  Get(message.object(), L"RawMessage", raw);
  Create(L"VeskMail.MIMEMessage", parsed);
  Put(parsed.object(), L"RawMessage", raw);
  Get(parsed.object(), L"Subject", subject);
  Get(parsed.object(), L"Attachments", attachments);
  Get(attachments.object(), L"Count", count);
  if (subject.vt != VT_BSTR || std::wstring(subject.bstrVal) != L"Soak round " + std::to_wstring(round) ||
      count.lVal != 1) {
    std::printf("round %ld: the message did not read back\n", round);
    std::exit(1);
  }
}

void SessionRound(long round) {
  const bool imap = round % 2 == 1;
  Var session, fetched, subject, no;
  Create(imap ? L"VeskMail.IMAP4" : L"VeskMail.POP3", session);
  IDispatch* s = session.object();
  Put(s, L"Host", Var(L"127.0.0.1"));
  Put(s, L"Port", Var(std::wcstol(_wgetenv(imap ? L"VESK_IMAP_PORT" : L"VESK_POP3_PORT"), nullptr, 10)));
  Put(s, L"User", Var(L"vesk-soak"));
  Put(s, L"Password", Var(L"vesk-pass"));
  Call(s, L"Connect");
  if (imap) {
    Put(s, L"MailboxName", Var(L"INBOX"));
    no.vt = VT_BOOL, no.boolVal = VARIANT_FALSE;
    Call(s, L"SelectMailbox", {&no});
  }
  Var first(1L);
  Call(s, L"Retrieve", {&first}, &fetched);
  Get(fetched.object(), L"Subject", subject);
  Call(s, L"Disconnect");
}

template <typename Round>
void Run(const char* what, long rounds, Round round) {
  if (rounds < 2) return;
  const DWORD started = GetTickCount();
  round(0);
  std::printf("%s: %ld rounds\n  start  %.1f MB\n", what, rounds, ResidentMegabytes());
  double middle = 0;
  for (long n = 1; n < rounds; ++n) {
    round(n);
    if (n == rounds / 2) std::printf("  middle %.1f MB\n", middle = ResidentMegabytes());
  }
  const double end = ResidentMegabytes();
  std::printf("  end    %.1f MB (middle to end %+.2f MB), %.1f s\n", end, end - middle,
              (GetTickCount() - started) / 1000.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const long message_rounds = argc > 1 ? std::atol(argv[1]) : 100000;
  const long session_rounds = argc > 2 ? std::atol(argv[2]) : 10000;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring file = std::wstring(temp) + L"vesk-soak-attachment.bin";
  std::string bytes(3000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  std::ofstream(file.c_str(), std::ios::binary) << bytes;
  const Var attachment(file.c_str());
  Run("connect / retrieve / disconnect (POP3 and IMAP4 in turn)", session_rounds, SessionRound);
  Run("compose + attach + RawMessage + parse", message_rounds, [&](long n) { MessageRound(n, attachment); });
  DeleteFileW(file.c_str());
  CoUninitialize();
  return 0;
}
