// The DLL's exports and class factories.
#include <gtest/gtest.h>

#include "automation/support.h"

namespace vesk::test {
namespace {

using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadFunction = HRESULT(WINAPI*)();

const CLSID* const kCreatable[] = {&CLSID_VeskPOP3, &CLSID_VeskSMTP, &CLSID_VeskIMAP4, &CLSID_MIMEMessage};

HRESULT CanUnloadNow() { return DllExport<CanUnloadFunction>("DllCanUnloadNow")(); }

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return DllExport<GetClassObjectFunction>("DllGetClassObject")(clsid, riid, ppv);
}

TEST(Exports, UnknownClassIsNotAvailable) {
  void* result = reinterpret_cast<void*>(1);
  EXPECT_EQ(GetClassObject(IID_IVeskSMTP, IID_IClassFactory, &result), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(GetClassObject(CLSID_VeskSMTP, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(Exports, FactoryIsMadeOnceAndKept) {
  for (const CLSID* clsid : kCreatable) {
    ComPtr<IClassFactory> first, second;
    ASSERT_EQ(GetClassObject(*clsid, IID_IClassFactory, first.put_void()), S_OK);
    ASSERT_EQ(GetClassObject(*clsid, IID_IClassFactory, second.put_void()), S_OK);
    EXPECT_EQ(first.get(), second.get());
  }
}

TEST(Exports, CanUnloadOnlyWithoutObjectsAndLocks) {
  ASSERT_EQ(CanUnloadNow(), S_OK);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetClassObject(CLSID_VeskIMAP4, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_OK) << "a cached factory does not keep the DLL";
  {
    ComPtr<IVeskIMAP4> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVeskIMAP4, object.put_void()), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(CanUnloadNow(), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST(Factory, FailedQueryDestroysTheNewObject) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(GetClassObject(CLSID_VeskSMTP, IID_IClassFactory, factory.put_void()), S_OK);
  ComPtr<IVeskPOP3> wrong;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVeskPOP3, wrong.put_void()), E_NOINTERFACE);
  EXPECT_FALSE(wrong);
  EXPECT_EQ(CanUnloadNow(), S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVeskSMTP, nullptr), E_POINTER);
}

// A minimal outer object that counts the references the inner one forwards.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST(Factory, ObjectsCanBeAggregated) {
  for (const CLSID* clsid : kCreatable) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(GetClassObject(*clsid, IID_IClassFactory, factory.put_void()), S_OK);
    Outer outer;
    void* refused = nullptr;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &refused), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the inner object's interfaces count on the outer object";
    IUnknown* identity = nullptr;
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer)) << "identity is the outer object's";
    identity->Release();
    dispatch->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
  }
}

}  // namespace
}  // namespace vesk::test
