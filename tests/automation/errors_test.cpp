// Error reporting and the string conventions, in-process.
#include <gtest/gtest.h>

#include "automation/frame/errors.h"
#include "automation/support.h"

namespace vesk::test {
namespace {

TEST(ReportErrorById, MissingEntryGivesUnknownErrorAndItsOwnCode) {
  SetErrorInfo(0, nullptr);
  const HRESULT hr = com::ReportErrorById(CLSID_MIMEMessage, 999);
  EXPECT_EQ(static_cast<ULONG>(hr), 0x80040000u + 999);
  ErrorInfoText error = TakeErrorInfo();
  ASSERT_TRUE(error.present);
  EXPECT_EQ(error.description, L"Unknown Error");
  EXPECT_EQ(error.source, L"VeskMail.MIMEMessage.1");
}

TEST(ReportErrorById, EntryTextAndGivenCode) {
  EXPECT_EQ(static_cast<ULONG>(com::ReportErrorById(CLSID_MIMEMessage, 128)), 0x80040080u);
  EXPECT_EQ(TakeErrorInfo().description, L"Unknown type of value supplied for property");
  EXPECT_EQ(com::ReportErrorById(CLSID_VeskPOP3, 101, GUID_NULL, E_FAIL), E_FAIL);
  ErrorInfoText error = TakeErrorInfo();
  EXPECT_EQ(error.description, L"Bad connection");
  EXPECT_EQ(error.source, L"VeskMail.POP3.1");
}

TEST(ReportError, ZeroBecomesDispatchExceptionAndUnregisteredClassHasNoSource) {
  const CLSID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(com::ReportError(unknown, "plain failure"), DISP_E_EXCEPTION);
  ErrorInfoText error = TakeErrorInfo();
  ASSERT_TRUE(error.present);
  EXPECT_EQ(error.description, L"plain failure");
  EXPECT_TRUE(error.source.empty());
}

TEST(ErrorTexts, LoadAndFormatFromTheStringTable) {
  std::string text;
  com::LoadErrorText(text, 116);
  EXPECT_EQ(text, "Server cannot be connected");
  com::FormatErrorText(text, 113, 10060);
  EXPECT_EQ(text, "Socket error # 10060");
  com::FormatErrorText(text, 114, "C:\\mail\\out.eml");
  EXPECT_EQ(text, "Error occured during open file \"C:\\mail\\out.eml\".");
  std::string library;
  ASSERT_TRUE(com::LoadStringTableText(100, library));
  EXPECT_EQ(library, "VeskMail");
  EXPECT_FALSE(com::LoadStringTableText(115, library));
}

TEST(Strings, NullIsEmptyAndAnsiTextRoundTrips) {
  EXPECT_EQ(com::ToNarrow(nullptr), "");
  const std::string ascii = "Subject: line\twith tab";
  Bstr wide;
  ASSERT_EQ(com::ToBstr(ascii, wide.put()), S_OK);
  EXPECT_EQ(wide.length(), ascii.size());
  EXPECT_EQ(com::ToNarrow(wide.get()), ascii);
  // Embedded NULs travel: lengths come from the string, not a terminator.
  const std::string with_nul("a\0b", 3);
  ASSERT_EQ(com::ToBstr(with_nul, wide.put()), S_OK);
  EXPECT_EQ(wide.length(), 3u);
  EXPECT_EQ(com::ToNarrow(wide.get()), with_nul);
  ASSERT_EQ(com::ToBstr("", wide.put()), S_OK);
  ASSERT_NE(wide.get(), nullptr);
  EXPECT_EQ(com::ToBstr("x", nullptr), E_POINTER);
}

}  // namespace
}  // namespace vesk::test
