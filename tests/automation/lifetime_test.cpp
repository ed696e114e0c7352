// Objects and the model are released when the last reference goes: the DLL
// can unload after a scenario, and a long loop does not grow the process.
#include <gtest/gtest.h>

#include "automation/support.h"

#include <psapi.h>

namespace vesk::test {
namespace {

using CanUnloadFunction = HRESULT(WINAPI*)();

HRESULT CanUnloadNow() { return DllExport<CanUnloadFunction>("DllCanUnloadNow")(); }

// Builds, renders and walks a message with children of every kind.
void ComposeRenderAndWalk() {
  ComPtr<IMIMEMessage> message;
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", message), S_OK);
  Bstr subject(L"lifetime"), text(L"body text\r\nsecond line\r\n"), address(L"a@example.com");
  message->put_Subject(subject.get());
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
  Variant data;
  V_VT(data.get()) = VT_BSTR;
  V_BSTR(data.get()) = SysAllocString(L"attached bytes");
  attachment->Load(*data.get());
  ComPtr<IFieldDictionary> fields;
  ASSERT_EQ(attachment->get_HeaderFields(fields.put()), S_OK);
  ComPtr<IUnknown> walk;
  ASSERT_EQ(attachments->get__NewEnum(walk.put()), S_OK);
  Bstr raw;
  ASSERT_EQ(message->get_RawMessage(raw.put()), S_OK);
  ComPtr<IMIMEMessage> parsed;
  ASSERT_EQ(CreateByProgId(L"VeskMail.MIMEMessage", parsed), S_OK);
  ASSERT_EQ(parsed->put_RawMessage(raw.get()), S_OK);
  ComPtr<IMimeBody> root;
  ComPtr<IMimeBodies> children;
  ASSERT_EQ(parsed->get_MimeBody(root.put()), S_OK);
  ASSERT_EQ(root->get_MimeBodies(children.put()), S_OK);
  // Children outlive a reset of their message.
  ASSERT_EQ(parsed->Empty(), S_OK);
  LONG count = 0;
  ASSERT_EQ(children->get_Count(&count), S_OK);
  EXPECT_EQ(count, 2);
}

TEST(Lifetime, EverythingIsReleasedWithTheLastReference) {
  ASSERT_EQ(CanUnloadNow(), S_OK);
  ComposeRenderAndWalk();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST(Lifetime, TenThousandMessagesKeepMemoryFlat) {
  auto usage = [] {
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
  };
  for (int i = 0; i < 200; ++i) ComposeRenderAndWalk();  // warm up allocator pools
  const SIZE_T before = usage();
  for (int i = 0; i < 10000; ++i) ComposeRenderAndWalk();
  const SIZE_T after = usage();
  const double growth_kib = (static_cast<double>(after) - static_cast<double>(before)) / 1024.0;
  std::printf("[ memory ] private bytes before %zu KiB, after 10,000 messages %zu KiB (growth %.0f KiB)\n",
              before / 1024, after / 1024, growth_kib);
  // A leak of even one small object per message would show as megabytes.
  EXPECT_LT(growth_kib, 2048.0);
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace vesk::test
