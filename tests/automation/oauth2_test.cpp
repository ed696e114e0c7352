// VeskMail.OAuth2 through its vtable, without an OAuth 2 server: defaults,
// failures reported with the class's source and the engine's text, and the
// token file sealed with the system's data protection. The grants against a
// server are tested by tests/scripts/servers/oauth2_sign_in.vbs.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support.h"

namespace vesk::test {
namespace {

std::wstring TempPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

std::string FileBytes(const std::wstring& path) {
  std::ifstream in(Narrow(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(OAuth2Object, StartsWithItsDefaultsAndRefusesANonPositiveTimeOut) {
  ComPtr<IVeskOAuth2> oauth;
  ASSERT_EQ(CreateByProgId(L"VeskMail.OAuth2", oauth), S_OK);
  LONG timeout = 0, left = -1;
  VARIANT_BOOL open = VARIANT_FALSE;
  EXPECT_EQ(oauth->get_TimeOut(&timeout), S_OK);
  EXPECT_EQ(timeout, 30000);
  EXPECT_EQ(oauth->put_TimeOut(0), E_INVALIDARG);
  EXPECT_EQ(oauth->get_OpenBrowser(&open), S_OK);
  EXPECT_EQ(open, VARIANT_TRUE);
  EXPECT_EQ(oauth->get_ExpiresIn(&left), S_OK);
  EXPECT_EQ(left, 0);
  Bstr text;
  EXPECT_EQ(oauth->get_UserCode(text.put()), S_OK);
  EXPECT_EQ(text.length(), 0u);
}

TEST(OAuth2Object, FailuresCarryTheClassAsSourceAndSayWhatIsMissing) {
  ComPtr<IVeskOAuth2> oauth;
  ASSERT_EQ(CreateByProgId(L"VeskMail.OAuth2", oauth), S_OK);
  Bstr token;
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(oauth->get_AccessToken(token.put()), E_FAIL);
  ErrorInfoText error = TakeErrorInfo();
  EXPECT_EQ(error.source, L"VeskMail.OAuth2.1");
  EXPECT_EQ(error.description, L"No OAuth 2 access token yet: request one, sign in, or load the token file");

  EXPECT_EQ(oauth->RequestToken(), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, L"OAuth 2 needs the TokenEndpoint first");
  Bstr address(L"http://login.example/token");
  ASSERT_EQ(oauth->put_TokenEndpoint(address.get()), S_OK);
  EXPECT_EQ(oauth->RequestToken(), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description,
            L"OAuth 2 address must start with https:// and hold no spaces, CR, LF or NUL: \"http://login.example/token\"");
  EXPECT_EQ(oauth->WaitForDeviceAuthorization(1), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, L"StartDeviceAuthorization must come first");
  EXPECT_EQ(oauth->WaitForAuthorization(1), E_FAIL);
  EXPECT_EQ(TakeErrorInfo().description, L"StartAuthorization must come first");

  // Through IDispatch the same text reaches a script.
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(oauth->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  DISPPARAMS none{};
  EXCEPINFO exception{};
  Variant result;
  EXPECT_EQ(dispatch->Invoke(18, IID_NULL, 0, DISPATCH_METHOD, &none, result.put(), &exception, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""),
            L"OAuth 2 address must start with https:// and hold no spaces, CR, LF or NUL: \"http://login.example/token\"");
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
}

TEST(OAuth2Object, TheTokenFileIsSealedForTheUserAndReadBack) {
  const std::wstring path = TempPath(L"vesk-oauth2-automation.tok");
  DeleteFileW(path.c_str());
  const std::wstring refresh = L"refresh-token-that-must-never-appear-in-clear-0123456789";
  {
    ComPtr<IVeskOAuth2> oauth;
    ASSERT_EQ(CreateByProgId(L"VeskMail.OAuth2", oauth), S_OK);
    Bstr file(path.c_str()), token(refresh.c_str());
    ASSERT_EQ(oauth->put_TokenFile(file.get()), S_OK);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    EXPECT_EQ(oauth->LoadTokens(&loaded), S_OK);  // no file yet: no error
    EXPECT_EQ(loaded, VARIANT_FALSE);
    ASSERT_EQ(oauth->put_RefreshToken(token.get()), S_OK);
    ASSERT_EQ(oauth->SaveTokens(), S_OK);
  }
  const std::string bytes = FileBytes(path);
  EXPECT_GT(bytes.size(), 100u);
  EXPECT_EQ(bytes.find("refresh-token-that"), std::string::npos);
  EXPECT_EQ(bytes.find("0123456789"), std::string::npos);
  {
    ComPtr<IVeskOAuth2> later;
    ASSERT_EQ(CreateByProgId(L"VeskMail.OAuth2", later), S_OK);
    Bstr file(path.c_str()), token;
    ASSERT_EQ(later->put_TokenFile(file.get()), S_OK);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ASSERT_EQ(later->LoadTokens(&loaded), S_OK);
    EXPECT_EQ(loaded, VARIANT_TRUE);
    ASSERT_EQ(later->get_RefreshToken(token.put()), S_OK);
    EXPECT_EQ(std::wstring(token.get()), refresh);
  }
  // A file altered after sealing is refused.
  std::string altered = bytes;
  altered[altered.size() - 5] ^= 0x20;
  std::ofstream(Narrow(path), std::ios::binary | std::ios::trunc) << altered;
  ComPtr<IVeskOAuth2> third;
  ASSERT_EQ(CreateByProgId(L"VeskMail.OAuth2", third), S_OK);
  Bstr file(path.c_str());
  ASSERT_EQ(third->put_TokenFile(file.get()), S_OK);
  VARIANT_BOOL loaded = VARIANT_TRUE;
  EXPECT_EQ(third->LoadTokens(&loaded), E_FAIL);
  const std::wstring description = TakeErrorInfo().description;
  EXPECT_NE(description.find(L"cannot be read: the data was not sealed for this user or is damaged"),
            std::wstring::npos)
      << Narrow(description);
  DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace vesk::test
