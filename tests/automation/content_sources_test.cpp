// Content given to a body as text or by another component.
#include "automation/content_sources.h"

#include <gtest/gtest.h>

#include "automation/support.h"

namespace vesk::test {
namespace {

using com::ContentFromObject;
using com::ContentToText;
using com::TextToContent;

std::string ToContent(const wchar_t* text, UINT length) {
  Bstr b;
  *b.put() = SysAllocStringLen(text, length);
  std::string bytes, error;
  EXPECT_EQ(TextToContent(b.get(), bytes, error), S_OK) << error;
  return bytes;
}

TEST(TextToContent, CharactersUpToFFAreTheirOwnByte) {
  const wchar_t text[] = {L'a', 0xE9, 0x80, 0xFF, 0};
  EXPECT_EQ(ToContent(text, 4), std::string("a\xE9\x80\xFF"));
  // A NUL does not end the content.
  const wchar_t with_nul[] = {L'x', 0, L'y'};
  EXPECT_EQ(ToContent(with_nul, 3), std::string("x\0y", 3));
  EXPECT_EQ(ToContent(L"", 0), "");
}

TEST(TextToContent, TextMadeFromContentComesBackAsTheSameBytes) {
  // Every byte the code page maps to a character returns to itself, so text
  // read with ContentToText can be put back unchanged.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  Bstr text;
  ASSERT_EQ(ContentToText(all, text.put()), S_OK);
  std::string back, error;
  ASSERT_EQ(TextToContent(text.get(), back, error), S_OK) << error;
  if (GetACP() == 1252) {
    EXPECT_EQ(text.get()[0x80 - 1], 0x20AC) << "byte 0x80 reads as the euro sign";
    EXPECT_EQ(back, all);
  } else {
    EXPECT_FALSE(back.empty());
  }
}

TEST(TextToContent, UnrepresentableCharacterFailsAndChangesNothing) {
  std::string bytes = "kept", error;
  Bstr text(L"Snowman \x2603 here");
  EXPECT_EQ(TextToContent(text.get(), bytes, error), E_INVALIDARG);
  EXPECT_EQ(bytes, "kept");
  EXPECT_NE(error.find("U+2603"), std::string::npos) << error;
}

// A component offering the binary-source interface, as a caller's own object
// would.
class ByteSource : public com::IBinarySource {
 public:
  explicit ByteSource(std::string bytes) : bytes_(std::move(bytes)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, com::kIidBinarySource)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Reserved1() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved2() override { return E_NOTIMPL; }
  STDMETHODIMP GetBytes(VARIANT* result) override {
    if (fail_) return fail_;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes_.size()));
    if (!bytes_.empty()) {
      void* data = nullptr;
      SafeArrayAccessData(array, &data);
      memcpy(data, bytes_.data(), bytes_.size());
      SafeArrayUnaccessData(array);
    }
    V_VT(result) = VT_ARRAY | VT_UI1;
    V_ARRAY(result) = array;
    return S_OK;
  }
  HRESULT fail_ = S_OK;

 private:
  std::string bytes_;
  ULONG refs_ = 1;
};

TEST(ContentFromObject, BinarySourceGivesItsBytes) {
  const std::string payload("\x00\x01\xFFPNG\r\n", 8);
  ByteSource source(payload);
  std::string bytes, error;
  ASSERT_EQ(ContentFromObject(&source, bytes, error), S_OK);
  EXPECT_EQ(bytes, payload);

  source.fail_ = E_ACCESSDENIED;
  bytes = "kept";
  EXPECT_EQ(ContentFromObject(&source, bytes, error), E_ACCESSDENIED);
  EXPECT_EQ(bytes, "kept");
}

TEST(ContentFromObject, RegisteredByteSourceStandIn) {
  ComPtr<IDispatch> source;
  ASSERT_EQ(CreateByProgId(L"VeskTest.ByteSource", source), S_OK);
  Variant text;
  V_VT(text.get()) = VT_BSTR;
  V_BSTR(text.get()) = SysAllocString(L"GIF89a\x01\xFF");
  ASSERT_EQ(InvokeByName(source.get(), L"Text", DISPATCH_PROPERTYPUT, text.get(), 1, nullptr), S_OK);
  std::string bytes, error;
  ASSERT_EQ(ContentFromObject(source.get(), bytes, error), S_OK);
  EXPECT_EQ(bytes, "GIF89a\x01\xFF");
}

TEST(ContentFromObject, TextStreamOfTheScriptingRuntime) {
  ComPtr<IDispatch> fso;
  ASSERT_EQ(CreateByProgId(L"Scripting.FileSystemObject", fso), S_OK);
  wchar_t directory[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  GetTempFileNameW(directory, L"vks", 0, path);
  const char content[] = "first line\r\nsecond line\r\n";
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, content, sizeof content - 1, &written, nullptr);
  CloseHandle(file);

  Variant name;
  V_VT(name.get()) = VT_BSTR;
  V_BSTR(name.get()) = SysAllocString(path);
  Variant stream;
  ASSERT_EQ(InvokeByName(fso.get(), L"OpenTextFile", DISPATCH_METHOD, name.get(), 1, stream.get()), S_OK);
  ASSERT_EQ(V_VT(stream.get()), VT_DISPATCH);

  std::string bytes, error;
  ASSERT_EQ(ContentFromObject(V_DISPATCH(stream.get()), bytes, error), S_OK) << error;
  EXPECT_EQ(bytes, content);
  InvokeByName(V_DISPATCH(stream.get()), L"Close", DISPATCH_METHOD, nullptr, 0, nullptr);
  DeleteFileW(path);
}

TEST(ContentFromObject, OtherObjectsAreRefused) {
  ComPtr<IDispatch> other;
  ASSERT_EQ(CreateByProgId(L"VeskMail.SMTP", other), S_OK);
  std::string bytes = "kept", error;
  EXPECT_EQ(ContentFromObject(other.get(), bytes, error), E_INVALIDARG);
  EXPECT_EQ(bytes, "kept");
}

}  // namespace
}  // namespace vesk::test
