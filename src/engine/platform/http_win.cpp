#include "engine/platform/http.h"
#include "engine/platform/windows_support.h"

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "engine/platform/sockets.h"
#include "engine/platform/tls_win.h"

namespace vesk::http {
namespace {

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
#define WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT 7
#endif
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

struct CloseInternet {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, CloseInternet>;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// "WinHTTP error 12157: <the system's text>", in UTF-8 like the rest of
// what the OAuth 2 client reports.
std::string Describe(DWORD code) {
  // Wine's WinHTTP reports a time-out as the socket's WSAETIMEDOUT.
  if (code == 10060) code = ERROR_WINHTTP_TIMEOUT;
  std::string text = "WinHTTP error " + std::to_string(code);
  wchar_t* words = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
      GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
  if (length && words) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, words, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string said(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, words, static_cast<int>(length), said.data(), size, nullptr, nullptr);
    while (!said.empty() && (said.back() == '\r' || said.back() == '\n' || said.back() == ' ')) said.pop_back();
    if (!said.empty()) text += ": " + said;
  }
  if (words) LocalFree(words);
  if (text.find(':') == std::string::npos) {
    // Systems whose WinHTTP has no message table (Wine) still get a reason.
    switch (code) {
      case ERROR_WINHTTP_TIMEOUT: text += ": the operation timed out"; break;
      case ERROR_WINHTTP_NAME_NOT_RESOLVED: text += ": the server name cannot be resolved"; break;
      case ERROR_WINHTTP_CANNOT_CONNECT: text += ": no connection to the server could be made"; break;
      case ERROR_WINHTTP_CONNECTION_ERROR: text += ": the connection was reset or ended"; break;
      case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: text += ": TLS failed (is the server's certificate trusted?)"; break;
      case ERROR_WINHTTP_SECURE_FAILURE: text += ": the server's certificate is not valid"; break;
      default: break;
    }
  }
  return text;
}

// The whole request stays within one time: before each step, every time-out
// WinHTTP keeps is set to what is left. The time-out for the response's
// headers is a separate option: without it a server that takes the request
// and never answers holds the call until it gives up itself.
class Deadline {
 public:
  explicit Deadline(int limit_ms) : end_(GetTickCount64() + static_cast<ULONGLONG>(limit_ms)) {}
  bool Passed() const { return GetTickCount64() >= end_; }
  void Apply(HINTERNET request) const {
    const ULONGLONG now = GetTickCount64();
    const int left = now >= end_ ? 1 : static_cast<int>(std::min<ULONGLONG>(end_ - now, 0x7FFFFFFF));
    WinHttpSetTimeouts(request, left, left, left, left);
    DWORD response = static_cast<DWORD>(left);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response, sizeof response);
  }

 private:
  ULONGLONG end_;
};

// A session with the user's proxy settings: the system's automatic choice
// where the system has it, else the proxy the user's Internet settings name.
InternetHandle OpenSession() {
  const wchar_t* agent = L"VeskMail";
  if (HINTERNET session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0)) {
    return InternetHandle(session);
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  HINTERNET session = nullptr;
  if (WinHttpGetIEProxyConfigForCurrentUser(&user) && user.lpszProxy) {
    session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, user.lpszProxy,
                          user.lpszProxyBypass ? user.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS, 0);
  }
  for (LPWSTR text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass}) {
    if (text) GlobalFree(text);
  }
  if (!session) {
    session = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  return InternetHandle(session);
}

}  // namespace

bool PostForm(const Request& request, Response& response, std::string& error) {
  response = Response{};
  auto fail = [&](DWORD code) {
    error = Describe(code);
    return false;
  };
  const std::wstring url = Wide(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return fail(GetLastError());
  if (parts.nScheme != INTERNET_SCHEME_HTTPS) {
    error = "only https addresses are used";
    return false;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  InternetHandle session = OpenSession();
  if (!session) return fail(GetLastError());
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // systems that do not know TLS 1.3 yet
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  const int limit = request.timeout_ms > 0 ? request.timeout_ms : 30000;
  const Deadline deadline(limit);
  WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);

  InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return fail(GetLastError());
  InternetHandle call(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!call) return fail(GetLastError());
  // A host given as an address: the name check is left to the code below,
  // which runs after the handshake and before any byte of the body is sent.
  const sockets::Ipv4Address address = sockets::ParseDottedAddress(std::string(host.begin(), host.end()).c_str());
  if (address != sockets::kNoAddress) {
    DWORD flags = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    WinHttpSetOption(call.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  }
  // The headers first, the body (which carries secrets) only once the
  // server's certificate is known to be the right one.
  const wchar_t* headers = L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
  const DWORD size = static_cast<DWORD>(request.form_body.size());
  deadline.Apply(call.get());
  if (!WinHttpSendRequest(call.get(), headers, static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, size, 0)) {
    return fail(GetLastError());
  }
  if (address != sockets::kNoAddress) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD certificate_size = sizeof certificate;
    const bool named = WinHttpQueryOption(call.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate,
                                          &certificate_size) &&
                       certificate && tls::CertificateHasAddress(certificate, address);
    if (certificate) CertFreeCertificateContext(certificate);
    if (!named) {
      error = "the server's certificate is not issued for " + std::string(host.begin(), host.end());
      return false;
    }
  }
  DWORD written = 0;
  deadline.Apply(call.get());
  if (size > 0 && !WinHttpWriteData(call.get(), request.form_body.data(), size, &written)) return fail(GetLastError());
  deadline.Apply(call.get());
  if (!WinHttpReceiveResponse(call.get(), nullptr)) return fail(GetLastError());
  DWORD status = 0, status_size = sizeof status;
  if (!WinHttpQueryHeaders(call.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
    return fail(GetLastError());
  }
  response.status = static_cast<long>(status);
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    // A body that trickles in counts against the same time.
    if (deadline.Passed()) return fail(ERROR_WINHTTP_TIMEOUT);
    deadline.Apply(call.get());
    if (!WinHttpReadData(call.get(), buffer, sizeof buffer, &got)) return fail(GetLastError());
    if (got == 0) break;
    response.body.append(buffer, got);
  }
  return true;
}

}  // namespace vesk::http
