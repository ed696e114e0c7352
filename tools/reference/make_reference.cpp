// make_reference.exe DLL OUTPUT VERSION
// Writes the Markdown member reference of veskmail.dll from what the built
// DLL carries: its type library (classes, interfaces, members in order,
// dispatch numbers, parameters, enumerations, help strings) and its string
// table (the message texts). ProgIDs come from the class table the DLL
// registers. Run under Wine at build time (see tools/release.sh).
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "automation/frame/class_table.h"
#include "automation/frame/com_ptr.h"

using vesk::com::ComPtr;

namespace {

std::string Utf8(const wchar_t* text, int length = -1) {
  if (!text) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
  if (length < 0 && !result.empty()) result.pop_back();
  return result;
}

// A BSTR that frees itself.
struct Text {
  BSTR value = nullptr;
  ~Text() { SysFreeString(value); }
  std::string str() const { return Utf8(value); }
};

// Table cells: a pipe or a line break would end the cell.
std::string Cell(std::string text) {
  std::string result;
  for (char c : text) {
    if (c == '|')
      result += "\\|";
    else if (c == '\r' || c == '\n')
      result += ' ';
    else
      result += c;
  }
  return result.empty() ? "-" : result;
}

std::string Guid(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return Utf8(text);
}

std::string Name(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
  Text name;
  info->GetDocumentation(id, &name.value, nullptr, nullptr, nullptr);
  return name.str();
}

std::string Help(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
  Text help;
  info->GetDocumentation(id, nullptr, &help.value, nullptr, nullptr);
  return help.str();
}

// How a script writer and a compiled client know a type.
std::string TypeName(ITypeInfo* info, const TYPEDESC& type) {
  switch (type.vt) {
    case VT_PTR:
      return TypeName(info, *type.lptdesc);
    case VT_SAFEARRAY:
      return "array of " + TypeName(info, *type.lptdesc);
    case VT_USERDEFINED: {
      ComPtr<ITypeInfo> referenced;
      if (FAILED(info->GetRefTypeInfo(type.hreftype, referenced.put()))) return "?";
      return Name(referenced.get());
    }
    case VT_I1:
      return "Char (char)";
    case VT_UI1:
      return "Byte (unsigned char)";
    case VT_I2:
      return "Integer (short, 16 bits)";
    case VT_UI2:
      return "unsigned short";
    case VT_I4:
    case VT_INT:
      return "Long (long, 32 bits)";
    case VT_UI4:
    case VT_UINT:
      return "unsigned long";
    case VT_R4:
      return "Single (float)";
    case VT_R8:
      return "Double (double)";
    case VT_CY:
      return "Currency (CY)";
    case VT_DATE:
      return "Date (DATE)";
    case VT_BSTR:
      return "String (BSTR)";
    case VT_BOOL:
      return "Boolean (VARIANT_BOOL)";
    case VT_VARIANT:
      return "Variant (VARIANT)";
    case VT_DISPATCH:
      return "Object (IDispatch)";
    case VT_UNKNOWN:
      return "IUnknown";
    case VT_VOID:
      return "void";
    case VT_HRESULT:
      return "HRESULT";
    default:
      return "VARTYPE " + std::to_string(type.vt);
  }
}

std::string DispatchNumber(MEMBERID id) {
  if (id >= -1000 && id <= 0xFFFF) return std::to_string(id);
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(id));
  return text;
}

std::string DefaultValue(const PARAMDESC& desc) {
  if (!(desc.wParamFlags & PARAMFLAG_FHASDEFAULT) || !desc.pparamdescex) return {};
  VARIANT text;
  VariantInit(&text);
  VARIANT value = desc.pparamdescex->varDefaultValue;
  std::string result = "?";
  if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR))) result = Utf8(text.bstrVal);
  VariantClear(&text);
  return result;
}

const char* Kind(INVOKEKIND kind) {
  switch (kind) {
    case INVOKE_PROPERTYGET:
      return "property get";
    case INVOKE_PROPERTYPUT:
      return "property let";
    case INVOKE_PROPERTYPUTREF:
      return "property set";
    default:
      return "method";
  }
}

// One table row per member: | DispID | `Name` | kind | parameters | returns | help |
void WriteMembers(FILE* out, ITypeInfo* info, const TYPEATTR& attributes) {
  fputs("| DispID | Member | Kind | Parameters | Returns | Description |\n|---|---|---|---|---|---|\n", out);
  for (UINT index = 0; index < attributes.cFuncs; ++index) {
    FUNCDESC* func = nullptr;
    if (FAILED(info->GetFuncDesc(index, &func))) continue;
    BSTR names[64] = {};
    UINT count = 0;
    info->GetNames(func->memid, names, 64, &count);
    std::string parameters, returns = "-";
    for (SHORT p = 0; p < func->cParams; ++p) {
      const ELEMDESC& element = func->lprgelemdescParam[p];
      const USHORT flags = element.paramdesc.wParamFlags;
      // Names are looked up by dispatch number, so a property's let and set
      // get the names of its get: their last parameter is the new value.
      const bool new_value =
          func->invkind != INVOKE_FUNC && func->invkind != INVOKE_PROPERTYGET && p == func->cParams - 1;
      const std::string name = !new_value && p + 1 < static_cast<SHORT>(count) ? Utf8(names[p + 1]) : "value";
      if (flags & PARAMFLAG_FRETVAL) {
        returns = TypeName(info, element.tdesc);
        continue;
      }
      std::string text = "`" + name + "` " + TypeName(info, element.tdesc);
      if (flags & PARAMFLAG_FOUT) text += ", out";
      if (flags & PARAMFLAG_FOPT) text += ", optional";
      const std::string fallback = DefaultValue(element.paramdesc);
      if (!fallback.empty()) text += ", default " + fallback;
      parameters += (parameters.empty() ? "" : "; ") + text;
    }
    if (func->elemdescFunc.tdesc.vt != VT_HRESULT && func->elemdescFunc.tdesc.vt != VT_VOID) {
      returns = TypeName(info, func->elemdescFunc.tdesc);
    }
    std::string kind = Kind(func->invkind);
    if (func->wFuncFlags & FUNCFLAG_FHIDDEN) kind += ", hidden";
    if (func->wFuncFlags & FUNCFLAG_FRESTRICTED) kind += ", restricted";
    fprintf(out, "| %s | `%s` | %s | %s | %s | %s |\n", DispatchNumber(func->memid).c_str(), Utf8(names[0]).c_str(),
            kind.c_str(), Cell(parameters).c_str(), Cell(returns).c_str(), Cell(Help(info, func->memid)).c_str());
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    info->ReleaseFuncDesc(func);
  }
}

void WriteInterface(FILE* out, ITypeInfo* listed, const TYPEATTR& listed_attributes) {
  // A dual interface is listed as its dispatch side; its members in vtable
  // order (its own, without those it inherits) are on the interface side.
  ComPtr<ITypeInfo> info(listed);
  if (listed_attributes.typekind == TKIND_DISPATCH && (listed_attributes.wTypeFlags & TYPEFLAG_FDUAL)) {
    HREFTYPE reference = 0;
    ComPtr<ITypeInfo> vtable_side;
    if (SUCCEEDED(listed->GetRefTypeOfImplType(-1, &reference)) &&
        SUCCEEDED(listed->GetRefTypeInfo(reference, vtable_side.put()))) {
      info = vtable_side;
    }
  }
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return;
  std::string base = "-";
  HREFTYPE reference = 0;
  ComPtr<ITypeInfo> base_info;
  if (attributes->cImplTypes > 0 && SUCCEEDED(info->GetRefTypeOfImplType(0, &reference)) &&
      SUCCEEDED(info->GetRefTypeInfo(reference, base_info.put()))) {
    base = Name(base_info.get());
  }
  std::string traits;
  const WORD flags = listed_attributes.wTypeFlags;
  for (auto [flag, word] : {std::pair{TYPEFLAG_FDUAL, "dual"},
                            {TYPEFLAG_FOLEAUTOMATION, "oleautomation"},
                            {TYPEFLAG_FNONEXTENSIBLE, "nonextensible"},
                            {TYPEFLAG_FHIDDEN, "hidden"}}) {
    if (flags & flag) traits += (traits.empty() ? "" : ", ") + std::string(word);
  }
  fprintf(out, "### %s\n\n%s\n\n- IID: `%s`\n- Derives from: %s\n- Kind: %s\n\n", Name(listed).c_str(),
          Help(listed).c_str(), Guid(listed_attributes.guid).c_str(), base.c_str(),
          traits.empty() ? "interface" : traits.c_str());
  WriteMembers(out, info.get(), *attributes);
  fputs("\n", out);
  info->ReleaseTypeAttr(attributes);
}

void WriteEnumeration(FILE* out, ITypeInfo* info, const TYPEATTR& attributes) {
  fprintf(out, "### %s\n\n%s\n\n| Name | Value | Description |\n|---|---|---|\n", Name(info).c_str(),
          Help(info).c_str());
  for (UINT index = 0; index < attributes.cVars; ++index) {
    VARDESC* var = nullptr;
    if (FAILED(info->GetVarDesc(index, &var))) continue;
    VARIANT value;
    VariantInit(&value);
    std::string number = "?";
    if (var->varkind == VAR_CONST && SUCCEEDED(VariantChangeType(&value, var->lpvarValue, 0, VT_I4))) {
      number = std::to_string(value.lVal);
    }
    fprintf(out, "| `%s` | %s | %s |\n", Name(info, var->memid).c_str(), number.c_str(),
            Cell(Help(info, var->memid)).c_str());
    info->ReleaseVarDesc(var);
  }
  fputs("\n", out);
}

void WriteClass(FILE* out, ITypeInfo* info, const TYPEATTR& attributes) {
  std::string prog_id = "-", versioned = "-";
  for (const vesk::com::ClassEntry& entry : vesk::com::ClassTable()) {
    if (IsEqualGUID(*entry.clsid, attributes.guid)) {
      prog_id = Utf8(entry.prog_id);
      versioned = Utf8(entry.versioned_prog_id);
    }
  }
  std::string interfaces;
  for (UINT index = 0; index < attributes.cImplTypes; ++index) {
    HREFTYPE reference = 0;
    INT flags = 0;
    ComPtr<ITypeInfo> implemented;
    if (FAILED(info->GetRefTypeOfImplType(index, &reference)) ||
        FAILED(info->GetRefTypeInfo(reference, implemented.put()))) {
      continue;
    }
    info->GetImplTypeFlags(index, &flags);
    interfaces += (interfaces.empty() ? "" : ", ") + Name(implemented.get()) +
                  ((flags & IMPLTYPEFLAG_FSOURCE) ? ((flags & IMPLTYPEFLAG_FDEFAULT) ? " (events)" : " (events, other)")
                                                  : (flags & IMPLTYPEFLAG_FDEFAULT) ? " (default)" : "");
  }
  fprintf(out, "| %s | `%s` | `%s` | `%s` | %s | %s |\n", Name(info).c_str(), prog_id.c_str(), versioned.c_str(),
          Guid(attributes.guid).c_str(), interfaces.c_str(), Cell(Help(info)).c_str());
}

// Entries of the string table that are not error descriptions.
bool IsErrorText(UINT number) { return number != 100 /* the library's name */ && number != 129 /* a preamble */; }

BOOL CALLBACK CollectStringBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR blocks) {
  if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<UINT>*>(blocks)->push_back(LOWORD(name));
  return TRUE;
}

void WriteMessages(FILE* out, const wchar_t* dll_path) {
  fputs(
      "## Error texts\n\n"
      "A failing member raises an error whose description (`Err.Description` in a script) is one of these texts\n"
      "(`%d` and `%s` stand for a number and a text filled in when it happens), or a text passed on from the\n"
      "system or the server. `Err.Source` is the class's versioned ProgID, such as `VeskMail.SMTP.1`. The\n"
      "description is where the library's text is; on the `Ex` interfaces `LastServerReply` keeps what the\n"
      "server last said, and `LastError` (SMTP, POP3, IMAP4, OAuth2 and MailAPI objects) the number of the text\n"
      "below that the last failing call reported (0 after a call that succeeded), so that a script can branch\n"
      "on the kind of failure without reading words: 243 a refused recipient, 244 a sign-in left unanswered,\n"
      "245 a server that takes no password without TLS, 246 a text that is the server's own words, 320 a web\n"
      "API's refusal with the provider's code and message, 323 a provider that asks to wait beyond TimeOut,\n"
      "329 (within the text) a send that may have been delivered and was not made again.\n\n"
      "Result codes (`Err.Number`):\n\n"
      "- the protocol objects, the OAuth2 object and the MailAPI object: 0x80004005 (E_FAIL);\n"
      "- the message objects: 0x80004005 (E_FAIL) where a file cannot be opened, read or written (the text names\n"
      "  the file); 0x80070057 (E_INVALIDARG) for a value they cannot take, such as a `Charset` other than empty\n"
      "  or `utf-8`, or text the ANSI code page cannot hold; otherwise 0x80040000 plus the number below;\n"
      "- a missing result pointer or an argument of the wrong kind: the standard codes, which VBScript shows as\n"
      "  its own errors (5 \"Invalid procedure call or argument\", 9 \"Subscript out of range\").\n\n"
      "| Number | Text |\n|---|---|\n",
      out);
  HMODULE module = LoadLibraryExW(dll_path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return;
  std::vector<UINT> blocks;
  EnumResourceNamesW(module, MAKEINTRESOURCEW(6) /* RT_STRING */, CollectStringBlock,
                     reinterpret_cast<LONG_PTR>(&blocks));
  for (UINT block : blocks) {
    for (UINT number = (block - 1) * 16; number < block * 16; ++number) {
      const wchar_t* text = nullptr;
      const int length = LoadStringW(module, number, reinterpret_cast<LPWSTR>(&text), 0);
      if (length > 0 && IsErrorText(number)) {
        fprintf(out, "| %u | %s |\n", number, Cell(Utf8(text, length)).c_str());
      }
    }
  }
  FreeLibrary(module);
  fputs("\n", out);
}

// What the members' one-line descriptions cannot say.
void WriteNotes(FILE* out) {
  fputs(
      "## Notes\n\n"
      "### Arrays\n\n"
      "Members that return several values (`GetMailboxesList`, `Search`, `GetMessageParts`, `RefusedRecipients`,\n"
      "`FieldsNames`...) return a Variant array, which VBScript and VBA index directly. JScript reads such an\n"
      "array through `new VBArray(x).toArray()`; PowerShell takes it as it is.\n\n"
      "### Signing in with an OAuth 2 token\n\n"
      "- Set `OAuth2` to a `VeskMail.OAuth2` object (`Set smtp.OAuth2 = oauth`): each `Connect` then asks it\n"
      "  for a current token, refreshed when less than a minute is left, so a long run never signs in with an\n"
      "  expired one. `AccessToken` takes a token string instead and is never refreshed.\n"
      "- A token means XOAUTH2 unless `AuthMethod` asks for OAUTHBEARER (4); with the choice left open, a\n"
      "  server that lists only OAUTHBEARER gets that. `User` must name the mailbox the token is for.\n"
      "- Providers take tokens only over TLS: set `Security` (1 STARTTLS on 587, 143 and 110; 2 on 465, 993 and\n"
      "  995). On a plain connection the library still sends the token if the server offers the mechanism;\n"
      "  most servers offer none there, and `Connect` then fails saying authentication is not offered.\n"
      "- SMTP's AUTH line holds at most 512 octets: a longer token is sent after the server's 334.\n"
      "- `TokenFile` keeps the tokens only (access token, refresh token, scope, expiry), encrypted for the\n"
      "  Windows user who wrote it: a scheduled task must run as that user. A later run sets `TokenEndpoint`,\n"
      "  `ClientId` (and `ClientSecret` for a confidential client) before `LoadTokens`, since a refresh needs\n"
      "  them. `SaveTokens` without a token is refused.\n"
      "- Errors: `RequestToken`, `Refresh`, `StartDeviceAuthorization`, `WaitForDeviceAuthorization`,\n"
      "  `StartAuthorization`, `WaitForAuthorization`, `LoadTokens` (a damaged file) and `SaveTokens` raise the\n"
      "  provider's refusal (texts 300 to 316); reading `AccessToken` raises one when a needed refresh fails;\n"
      "  a protocol object's `Connect` raises the OAuth2 object's text as its own. A revoked refresh token\n"
      "  reads `invalid_grant`: sign in again (device or browser sign-in) and save the new tokens.\n\n"
      "### IMAP4 mailboxes and UIDs\n\n"
      "- `GetMailboxesList` lists the mailboxes under `MailboxName` (INBOX by default); `MailboxName = \"\"`\n"
      "  lists them all.\n"
      "- In `Search(\"UID n:*\")`, `*` stands for the highest UID in the mailbox, so the range matches the last\n"
      "  message even when its UID is below n (RFC 3501 section 6.4.8). A job that asks for mail new since a\n"
      "  remembered `UIDNext` keeps only the UIDs at or above it.\n\n"
      "### Attachments\n\n"
      "`Attach` and `Attachments.Add` label a file by its extension: the type the system registers\n"
      "(`HKEY_CLASSES_ROOT\\.ext`, value `Content Type`), else a built-in table of common types (pdf, csv,\n"
      "txt, html, xml, json, zip, the Office formats, png, jpeg, gif, svg, webp, ics, eml and more), else\n"
      "`application/octet-stream`. Setting the attachment's `ContentType` changes it.\n\n"
      "### Text outside the ANSI code page\n\n"
      "In the default mode every text a script sets (text, subject, names, header values, file names) must\n"
      "fit the ANSI code page, or the member fails with text 181 and nothing changes; with\n"
      "`Charset = \"utf-8\"` every character is kept. A message read (`Load`, `RawMessage`, a retrieved\n"
      "message) whose text says it is UTF-8 reads with `Charset = \"utf-8\"`.\n\n",
      out);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fputs("usage: make_reference DLL OUTPUT VERSION\n", stderr);
    return 2;
  }
  ComPtr<ITypeLib> lib;
  if (FAILED(LoadTypeLibEx(argv[1], REGKIND_NONE, lib.put()))) {
    fprintf(stderr, "no type library in %ls\n", argv[1]);
    return 1;
  }
  FILE* out = _wfopen(argv[2], L"wb");
  if (!out) {
    fprintf(stderr, "cannot write %ls (errno %d)\n", argv[2], errno);
    return 1;
  }
  TLIBATTR* library = nullptr;
  lib->GetLibAttr(&library);
  Text lib_name, lib_help;
  lib->GetDocumentation(-1, &lib_name.value, &lib_help.value, nullptr, nullptr);
  fprintf(out,
          "# VeskMail %s: member reference\n\n"
          "Every class, interface, member and enumeration of `veskmail.dll`, as its type library\n"
          "`%s` (%s, version %u.%u, `%s`) declares them, and the error texts the library reports.\n"
          "Generated from the built DLL by `tools/release.sh`, which also puts it in the release zip;\n"
          "`tools/release.sh reference` writes the copy in `docs/` again. Do not edit by hand.\n\n"
          "Scripts reach every member of a class through `CreateObject(ProgID)`; a compiled client asks for\n"
          "an interface by its IID. Interfaces ending in `Ex` extend the interface they derive from, with\n"
          "dispatch numbers from 1001. A property's *let* sets a value, *set* assigns an object reference.\n\n",
          Utf8(argv[3]).c_str(), lib_name.str().c_str(), lib_help.str().c_str(), library->wMajorVerNum,
          library->wMinorVerNum, Guid(library->guid).c_str());
  lib->ReleaseTLibAttr(library);

  const TYPEKIND order[] = {TKIND_COCLASS, TKIND_ENUM, TKIND_DISPATCH};
  const char* headings[] = {
      "## Classes\n\n| Class | ProgID | Versioned ProgID | CLSID | Interfaces | Description |\n"
      "|---|---|---|---|---|---|\n",
      "## Enumerations\n\n", "## Interfaces\n\n"};
  for (int section = 0; section < 3; ++section) {
    fputs(headings[section], out);
    for (UINT index = 0; index < lib->GetTypeInfoCount(); ++index) {
      ComPtr<ITypeInfo> info;
      TYPEATTR* attributes = nullptr;
      if (FAILED(lib->GetTypeInfo(index, info.put())) || FAILED(info->GetTypeAttr(&attributes))) continue;
      TYPEKIND kind = attributes->typekind == TKIND_INTERFACE ? TKIND_DISPATCH : attributes->typekind;
      if (kind == order[section]) {
        if (kind == TKIND_COCLASS) WriteClass(out, info.get(), *attributes);
        if (kind == TKIND_ENUM) WriteEnumeration(out, info.get(), *attributes);
        if (kind == TKIND_DISPATCH) WriteInterface(out, info.get(), *attributes);
      }
      info->ReleaseTypeAttr(attributes);
    }
    if (section == 0) fputs("\n", out);
  }
  WriteNotes(out);
  WriteMessages(out, argv[1]);
  if (fclose(out) != 0) {
    fprintf(stderr, "writing %ls failed (errno %d)\n", argv[2], errno);
    return 1;
  }
  return 0;
}
