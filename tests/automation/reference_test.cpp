// The committed member reference (docs/reference.md) against the registered
// type library itself: every class, every enumeration value, and every member
// of every interface with its dispatch number, in declaration order.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "automation/support.h"

namespace vesk::test {
namespace {

std::string NameOf(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
  Bstr name;
  info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr);
  return Narrow(name.get());
}

TEST(TypeLibrary, ReferenceListsEveryMember) {
  std::ifstream file("Z:" VESK_SOURCE_DIR "/docs/reference.md", std::ios::binary);
  const std::string reference{std::istreambuf_iterator<char>(file), {}};
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_VESKMAILLib, 1, 0, LOCALE_NEUTRAL, lib.put()), S_OK);
  for (UINT index = 0; index < lib->GetTypeInfoCount(); ++index) {
    ComPtr<ITypeInfo> info;
    TYPEKIND kind;
    ASSERT_EQ(lib->GetTypeInfoType(index, &kind), S_OK);
    ASSERT_EQ(lib->GetTypeInfo(index, info.put()), S_OK);
    const std::string name = NameOf(info.get());
    // A class is a row of the class table; any other type has a section.
    size_t at = reference.find(kind == TKIND_COCLASS ? "\n| " + name + " | `VeskMail." : "\n### " + name + "\n");
    EXPECT_NE(at, std::string::npos) << name << " is missing";
    if (kind == TKIND_COCLASS || at == std::string::npos) continue;
    const std::string section = reference.substr(at, reference.find("\n#", at + 1) - at);
    HREFTYPE vtable_side = 0;  // a dual interface's own members are on its vtable side
    if (kind == TKIND_DISPATCH && SUCCEEDED(info->GetRefTypeOfImplType(-1, &vtable_side))) {
      ComPtr<ITypeInfo> dual(info);
      ASSERT_EQ(dual->GetRefTypeInfo(vtable_side, info.put()), S_OK);
    }
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    std::vector<std::string> rows;  // in the order the section must list them
    for (UINT i = 0; i < attributes->cVars; ++i) {
      VARDESC* variable = nullptr;
      ASSERT_EQ(info->GetVarDesc(i, &variable), S_OK);
      rows.push_back("`" + NameOf(info.get(), variable->memid) + "` | " + std::to_string(V_I4(variable->lpvarValue)) +
                     " |");
      info->ReleaseVarDesc(variable);
    }
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
      char id[16];  // property get, let and set share a row's dispatch number and name
      snprintf(id, sizeof id, function->memid > 0xFFFF ? "0x%08lX" : "%ld", static_cast<long>(function->memid));
      rows.push_back(std::string(id) + " | `" + NameOf(info.get(), function->memid) + "` | ");
      info->ReleaseFuncDesc(function);
    }
    info->ReleaseTypeAttr(attributes);
    at = 0;
    for (const std::string& row : rows) {
      const size_t found = section.find("\n| " + row, at);
      EXPECT_NE(found, std::string::npos) << name << ": no row \"| " << row << "\" after the rows before it";
      at = found == std::string::npos ? at : found + 1;
    }
  }
}

}  // namespace
}  // namespace vesk::test
