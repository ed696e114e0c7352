// Many threads at once, as a page server calls the objects: each thread in
// its own apartment with its own SMTP, POP3, IMAP4 and MIMEMessage objects
// sends its messages to its own mailbox (vesk-tN@localhost) through the
// private Postfix and fetches them back from Dovecot over POP3 and IMAP4.
// Every message must arrive once with its own subject and attachment bytes,
// no call may fail, and the DLL must agree to unload once all threads ended.
//   many_threads.exe [threads (8)] [messages per thread (200)]
// Ports come from VESK_SMTP_PORT, VESK_POP3_PORT and VESK_IMAP_PORT.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "veskmail_h.h"

namespace {

std::atomic<int> failures{0};

template <typename T>
struct Ptr {
  T* p = nullptr;
  ~Ptr() { if (p) p->Release(); }
  T** put() { if (p) p->Release(); p = nullptr; return &p; }
  T* operator->() const { return p; }
};

struct Bstr {
  BSTR b;
  explicit Bstr(const std::wstring& text) : b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr() : b(nullptr) {}
  ~Bstr() { SysFreeString(b); }
  std::wstring str() const { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
};

// True on success; otherwise prints the call and the object's description.
bool Ok(HRESULT hr, int thread, const std::string& what) {
  if (SUCCEEDED(hr)) return true;
  Bstr description;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK) {
    info->GetDescription(&description.b);
    info->Release();
  }
  std::printf("thread %d: %s failed: 0x%08lX %ls\n", thread, what.c_str(), static_cast<unsigned long>(hr),
              description.str().c_str());
  ++failures;
  return false;
}

short Port(const char* name) { return static_cast<short>(std::atoi(std::getenv(name) ? std::getenv(name) : "0")); }

// The attachment of message n of a thread: 300 to 2299 bytes of every value.
std::string Bytes(int thread, int n) {
  std::string bytes(300 + (n * 977 + thread * 131) % 2000, '\0');
  unsigned state = 2166136261u ^ static_cast<unsigned>(thread * 100000 + n);
  for (char& byte : bytes) byte = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
  return bytes;
}

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Checks a fetched message: a subject this thread sent and has not seen yet,
// and the attachment bytes of that message.
void CheckFetched(IDispatch* fetched, int t, const std::wstring& dir, std::vector<int>& seen, const char* via) {
  Ptr<IMIMEMessage> message;
  Ptr<IMimeBodies> attachments;
  Ptr<IMimeBody> attachment;
  Bstr subject;
  int n = -1;
  if (!Ok(fetched->QueryInterface(IID_IMIMEMessage, reinterpret_cast<void**>(message.put())), t, via) ||
      !Ok(message->get_Subject(&subject.b), t, via)) return;
  if (std::swscanf(subject.str().c_str(), (L"thread " + std::to_wstring(t) + L" message %d").c_str(), &n) != 1 ||
      n < 0 || n >= static_cast<int>(seen.size()) || seen[n]++ != 0) {
    std::printf("thread %d: %s: unexpected or repeated subject \"%ls\"\n", t, via, subject.str().c_str());
    ++failures;
    return;
  }
  const std::wstring saved = dir + L"\\fetched.bin";
  if (Ok(message->get_Attachments(attachments.put()), t, via) && Ok(attachments->get_Item(1, attachment.put()), t, via) &&
      Ok(attachment->Save(Bstr(saved).b), t, via) && ReadFile(saved) != Bytes(t, n)) {
    std::printf("thread %d: %s: attachment of message %d differs\n", t, via, n);
    ++failures;
  }
}

void Run(int t, int count) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    Ptr<IVeskSMTP> smtp;
    Ptr<IVeskPOP3> pop3;
    Ptr<IVeskIMAP4> imap;
    Ok(CoCreateInstance(CLSID_VeskSMTP, nullptr, CLSCTX_INPROC_SERVER, IID_IVeskSMTP, (void**)smtp.put()), t, "SMTP");
    Ok(CoCreateInstance(CLSID_VeskPOP3, nullptr, CLSCTX_INPROC_SERVER, IID_IVeskPOP3, (void**)pop3.put()), t, "POP3");
    Ok(CoCreateInstance(CLSID_VeskIMAP4, nullptr, CLSCTX_INPROC_SERVER, IID_IVeskIMAP4, (void**)imap.put()), t, "IMAP4");
    if (!smtp.p || !pop3.p || !imap.p) return CoUninitialize();
    const std::wstring user = L"vesk-t" + std::to_wstring(t);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"vesk-threads-" + std::to_wstring(t);
    CreateDirectoryW(dir.c_str(), nullptr);
    const Bstr host(L"127.0.0.1"), password(L"vesk-pass"), inbox(L"INBOX"), login(user);
    smtp->put_Host(host.b), smtp->put_Port(Port("VESK_SMTP_PORT")), smtp->put_TimeOut(30000);
    pop3->put_Host(host.b), pop3->put_Port(Port("VESK_POP3_PORT")), pop3->put_TimeOut(30000);
    pop3->put_User(login.b), pop3->put_Password(password.b);
    imap->put_Host(host.b), imap->put_Port(Port("VESK_IMAP_PORT")), imap->put_TimeOut(30000);
    imap->put_User(login.b), imap->put_Password(password.b), imap->put_MailboxName(inbox.b);
    short waiting = 0;
    // Whatever an earlier run left goes first.
    if (Ok(pop3->Connect(), t, "POP3 Connect") && Ok(pop3->get_MessageCount(&waiting), t, "count")) {
      for (short i = 1; i <= waiting; ++i) Ok(pop3->Delete(i), t, "Delete");
      Ok(pop3->Disconnect(), t, "POP3 Disconnect");
    }
    if (!Ok(smtp->Connect(), t, "SMTP Connect")) return CoUninitialize();
    for (int n = 0; n < count; ++n) {
      Ptr<IMIMEMessage> message;
      Ptr<IMailAddress> from, to;
      Ptr<IMailAddresses> recipients;
      const std::wstring file = dir + L"\\part" + std::to_wstring(n) + L".bin";
      std::ofstream(file.c_str(), std::ios::binary) << Bytes(t, n);
      const std::string what = "message " + std::to_string(n);
      if (!Ok(CoCreateInstance(CLSID_MIMEMessage, nullptr, CLSCTX_INPROC_SERVER, IID_IMIMEMessage,
                               (void**)message.put()), t, what) ||
          !Ok(message->put_Subject(Bstr(L"thread " + std::to_wstring(t) + L" message " + std::to_wstring(n)).b), t, what) ||
          !Ok(message->get_From(from.put()), t, what) || !Ok(from->put_Address(Bstr(L"sender@vesk.test").b), t, what) ||
          !Ok(message->get_To(recipients.put()), t, what) || !Ok(recipients->Add(to.put()), t, what) ||
          !Ok(to->put_Address(Bstr(user + L"@localhost").b), t, what) ||
          !Ok(message->put_Text(Bstr(L"Text of " + std::to_wstring(n)).b), t, what) ||
          !Ok(message->Attach(Bstr(file).b), t, what)) {
        continue;
      }
      DeleteFileW(file.c_str());
      Ok(smtp->Send(reinterpret_cast<IDispatch*>(message.p), nullptr, nullptr), t, "Send " + what);
    }
    Ok(smtp->Disconnect(), t, "SMTP Disconnect");
    // Delivery lands a little after each transaction.
    for (DWORD started = GetTickCount(); GetTickCount() - started < 120000; Sleep(200)) {
      if (!Ok(pop3->Connect(), t, "POP3 Connect") || !Ok(pop3->get_MessageCount(&waiting), t, "count")) break;
      if (waiting >= count) break;
      Ok(pop3->Disconnect(), t, "POP3 Disconnect");
    }
    if (waiting != count) std::printf("thread %d: %d messages arrived, not %d\n", t, waiting, count), ++failures;
    std::vector<int> seen(count), seen_by_imap(count);
    for (short i = 1; i <= waiting; ++i) {
      Ptr<IDispatch> fetched;
      if (Ok(pop3->Retrieve(i, fetched.put()), t, "POP3 Retrieve")) CheckFetched(fetched.p, t, dir, seen, "POP3");
    }
    long in_box = 0;
    if (Ok(imap->Connect(), t, "IMAP4 Connect") && Ok(imap->SelectMailbox(VARIANT_FALSE), t, "Select") &&
        Ok(imap->get_MessageCount(&in_box), t, "IMAP4 count")) {
      for (long i = 1; i <= in_box; ++i) {
        Ptr<IMIMEMessage> fetched;
        if (Ok(imap->Retrieve(i, fetched.put()), t, "IMAP4 Retrieve")) {
          CheckFetched(reinterpret_cast<IDispatch*>(fetched.p), t, dir, seen_by_imap, "IMAP4");
        }
      }
      Ok(imap->Disconnect(), t, "IMAP4 Disconnect");
    }
    for (int n = 0; n < count; ++n) {
      if (seen[n] != 1 || seen_by_imap[n] != 1) std::printf("thread %d: message %d not fetched once\n", t, n), ++failures;
    }
    for (short i = 1; i <= waiting; ++i) Ok(pop3->Delete(i), t, "Delete");
    Ok(pop3->Disconnect(), t, "POP3 Disconnect");
    DeleteFileW((dir + L"\\fetched.bin").c_str());
    RemoveDirectoryW(dir.c_str());
  }
  CoUninitialize();
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
  const int count = argc > 2 ? std::atoi(argv[2]) : 200;
  // The registered DLL, loaded here too so that it stays loaded when the
  // workers' apartments end and let go of it.
  wchar_t clsid[40], path[MAX_PATH];
  DWORD size = sizeof path;
  StringFromGUID2(CLSID_VeskSMTP, clsid, 40);
  HMODULE dll = RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32").c_str(), nullptr,
                             RRF_RT_REG_SZ, nullptr, path, &size) == ERROR_SUCCESS ? LoadLibraryW(path) : nullptr;
  const DWORD started = GetTickCount();
  std::vector<std::thread> workers;
  for (int t = 1; t <= threads; ++t) workers.emplace_back(Run, t, count);
  for (std::thread& worker : workers) worker.join();
  auto can_unload = dll ? reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(dll, "DllCanUnloadNow")) : nullptr;
  const HRESULT unload = can_unload ? can_unload() : E_FAIL;
  if (unload != S_OK) std::printf("DllCanUnloadNow gave 0x%08lX, not S_OK\n", static_cast<unsigned long>(unload));
  std::printf("%d threads x %d messages in %lu ms: %d failures\n", threads, count,
              static_cast<unsigned long>(GetTickCount() - started), failures.load());
  if (failures == 0 && unload == S_OK) std::printf("MANY THREADS PASSED\n");
  return failures == 0 && unload == S_OK ? 0 : 1;
}
