// The component frame: exports and class factories, lifetime.
#include <gtest/gtest.h>

#include "automation/support.h"

#include <psapi.h>

#include <cstdlib>

namespace vesk::test {
namespace {

const CLSID* const kCreatable[] = {&CLSID_VeskPOP3, &CLSID_VeskSMTP, &CLSID_VeskIMAP4, &CLSID_MIMEMessage};

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return DllExport<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(clsid, riid, ppv);
}

// A minimal outer object that counts the references the inner one forwards.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!IsEqualIID(riid, IID_IUnknown)) return inner->QueryInterface(riid, ppv);
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST(Exports, FactoriesAreMadeOnceAndObjectsCanBeAggregated) {
  void* result = reinterpret_cast<void*>(1);
  EXPECT_EQ(GetClassObject(IID_IVeskSMTP, IID_IClassFactory, &result), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(GetClassObject(CLSID_VeskSMTP, IID_IClassFactory, nullptr), E_POINTER);
  for (const CLSID* clsid : kCreatable) {
    ComPtr<IClassFactory> factory, again;
    ASSERT_EQ(GetClassObject(*clsid, IID_IClassFactory, factory.put_void()), S_OK);
    ASSERT_EQ(GetClassObject(*clsid, IID_IClassFactory, again.put_void()), S_OK);
    EXPECT_EQ(factory.get(), again.get());
    ComPtr<IClassFactory> wrong;  // a failed query destroys the new object
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, wrong.put_void()), E_NOINTERFACE);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
    Outer outer;
    void* refused = nullptr;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &refused), CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the inner object's interfaces count on the outer object";
    IUnknown* identity = nullptr;
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer)) << "identity is the outer object's";
    identity->Release();
    dispatch->Release();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK) << "a cached factory does not keep the DLL";
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  }
}

// Builds, renders, parses and walks a message with children of every kind.
void ComposeRenderAndWalk() {
  ComPtr<IMIMEMessage> message, parsed;
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  Bstr text(L"body text\r\n"), address(L"a@example.com");
  message->put_Text(text.get());
  ComPtr<IMailAddresses> to;
  ComPtr<IMailAddress> added;
  ASSERT_EQ(message->get_To(to.put()), S_OK);
  ASSERT_EQ(to->Add(added.put()), S_OK);
  added->put_Address(address.get());
  ComPtr<IMimeBodies> attachments;
  ComPtr<IMimeBody> attachment;
  ASSERT_EQ(message->get_Attachments(attachments.put()), S_OK);
  ASSERT_EQ(attachments->Add(attachment.put()), S_OK);
  ComPtr<IFieldDictionary> fields;
  ASSERT_EQ(attachment->get_HeaderFields(fields.put()), S_OK);
  ComPtr<IUnknown> walk;
  ASSERT_EQ(attachments->get__NewEnum(walk.put()), S_OK);
  Bstr raw;
  ASSERT_EQ(message->get_RawMessage(raw.put()), S_OK);
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", parsed), S_OK);
  ASSERT_EQ(parsed->put_RawMessage(raw.get()), S_OK);
  ComPtr<IMimeBody> root;
  ComPtr<IMimeBodies> children;
  ASSERT_EQ(parsed->get_MimeBody(root.put()), S_OK);
  ASSERT_EQ(root->get_MimeBodies(children.put()), S_OK);
  ASSERT_EQ(parsed->Empty(), S_OK);
  LONG count = 0;
  ASSERT_EQ(children->get_Count(&count), S_OK);
  EXPECT_EQ(count, 2) << "children outlive a reset of their message";
}

// Everything goes with the last reference (the DLL can unload after a
// scenario) and a long loop does not grow the process.
TEST(Lifetime, TenThousandMessagesKeepMemoryFlat) {
  auto usage = [] {
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PagefileUsage);
  };
  ComposeRenderAndWalk();
  EXPECT_EQ(CanUnloadNow(), S_OK);
  for (int i = 0; i < 200; ++i) ComposeRenderAndWalk();  // warm up allocator pools
  const double before = usage();
  for (int i = 0; i < 10000; ++i) ComposeRenderAndWalk();
  EXPECT_LT((usage() - before) / 1024.0, 2048.0) << "KiB grown";
}

// A protocol object keeps the message factory it got at its first retrieval:
// each retrieval still hands out a new message of its own, and once the
// objects are released the DLL can unload. Runs against the loopback servers.
TEST(Lifetime, RetrievalsKeepNoLockOnTheDll) {
  const char* port = std::getenv("VESK_IMAP_PORT");
  if (!std::getenv("VESK_MAILSERVERS") || !port) GTEST_SKIP() << "needs the servers of tools/mailservers.sh";
  {
    ComPtr<IVeskIMAP4> imap;
    ComPtr<IMIMEMessage> sent, first, second;
    ASSERT_EQ(CreateByProgId(L"VeskMail.IMAP4", imap), S_OK);
    ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", sent), S_OK);
    Bstr host(L"127.0.0.1"), user(L"vesk"), password(L"vesk-pass"), box(L"VeskLifetime"), subject(L"kept factory");
    imap->put_Host(host.get());
    imap->put_Port(static_cast<short>(std::atoi(port)));
    imap->put_User(user.get());
    imap->put_Password(password.get());
    ASSERT_EQ(imap->Connect(), S_OK);
    imap->DeleteMailbox(box.get());  // left by an earlier run, or absent
    ASSERT_EQ(imap->CreateMailbox(box.get()), S_OK);
    sent->put_Subject(subject.get());
    ASSERT_EQ(imap->AppendMessage(box.get(), sent.get()), S_OK);
    ASSERT_EQ(imap->put_MailboxName(box.get()), S_OK);
    ASSERT_EQ(imap->SelectMailbox(VARIANT_TRUE), S_OK);
    ASSERT_EQ(imap->Retrieve(1, first.put()), S_OK);
    ASSERT_EQ(imap->Retrieve(1, second.put()), S_OK);
    EXPECT_NE(first.get(), second.get());
    Bstr empty(L""), read;
    ASSERT_EQ(first->put_Subject(empty.get()), S_OK);
    ASSERT_EQ(second->get_Subject(read.put()), S_OK);
    EXPECT_EQ(Narrow(read.get()), "kept factory") << "each retrieval is a message of its own";
    EXPECT_EQ(imap->DeleteMailbox(box.get()), S_OK);
    imap->Disconnect();
  }
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace vesk::test
