#include "engine/platform/http.h"
#include "engine/platform/windows_support.h"

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "engine/common/ascii.h"
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

std::string Narrow(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

// One header the request has answered, as text; empty when it has none.
std::wstring QueryText(HINTERNET request, DWORD what) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

// Whether the certificate the request met names `address`.
bool CertificateNames(HINTERNET request, sockets::Ipv4Address address) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD certificate_size = sizeof certificate;
  const bool named = WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &certificate_size) &&
                     certificate && tls::CertificateHasAddress(certificate, address);
  if (certificate) CertFreeCertificateContext(certificate);
  return named;
}

// Requests go out in pieces this size, each within what is left of the time.
constexpr DWORD kWriteChunk = 64 * 1024;

}  // namespace

bool Send(const Request& request, Response& response, std::string& error) {
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
  // Redirects are the caller's to judge, as on the libcurl side.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);

  InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return fail(GetLastError());
  const std::string host_text = Narrow(host.data(), host.size());
  const sockets::Ipv4Address address = sockets::ParseDottedAddress(host_text.c_str());
  auto open = [&](const wchar_t* method) {
    InternetHandle call(WinHttpOpenRequest(connection.get(), method, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    // A host given as an address: the name check is left to the code
    // below, since WinHTTP compares names only.
    if (call && address != sockets::kNoAddress) {
      DWORD flags = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
      WinHttpSetOption(call.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    return call;
  };
  std::wstring headers;
  bool credentials = false;
  for (const auto& [name, value] : request.headers) {
    headers += Wide(name + ": " + value + "\r\n");
    credentials = credentials || EqualsIgnoringAsciiCase(name, "Authorization");
  }
  if (address != sockets::kNoAddress && credentials) {
    // A bearer token goes out with the request line: the certificate is
    // checked on a request without it first, on the connection the real
    // request then reuses.
    InternetHandle probe = open(L"HEAD");
    if (!probe) return fail(GetLastError());
    deadline.Apply(probe.get());
    if (!WinHttpSendRequest(probe.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      return fail(GetLastError());
    }
    if (!CertificateNames(probe.get(), address)) {
      error = "the server's certificate is not issued for " + host_text;
      return false;
    }
    deadline.Apply(probe.get());
    WinHttpReceiveResponse(probe.get(), nullptr);
  }
  const std::wstring method = Wide(request.method);
  InternetHandle call = open(method.c_str());
  if (!call) return fail(GetLastError());
  // The headers first, the body (which may carry secrets) only once the
  // server's certificate is known to be the right one.
  const DWORD size = static_cast<DWORD>(request.body.size());
  deadline.Apply(call.get());
  if (!WinHttpSendRequest(call.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, size, 0)) {
    return fail(GetLastError());
  }
  if (address != sockets::kNoAddress && !CertificateNames(call.get(), address)) {
    error = "the server's certificate is not issued for " + host_text;
    return false;
  }
  for (DWORD done = 0; done < size;) {
    DWORD written = 0;
    if (deadline.Passed()) return fail(ERROR_WINHTTP_TIMEOUT);
    deadline.Apply(call.get());
    if (!WinHttpWriteData(call.get(), request.body.data() + done, std::min(kWriteChunk, size - done), &written)) {
      return fail(GetLastError());
    }
    done += written;
    if (request.progress && !request.progress(written, 0)) {
      error = kStopped;
      return false;
    }
  }
  deadline.Apply(call.get());
  if (!WinHttpReceiveResponse(call.get(), nullptr)) return fail(GetLastError());
  DWORD status = 0, status_size = sizeof status;
  if (!WinHttpQueryHeaders(call.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
    return fail(GetLastError());
  }
  response.status = static_cast<long>(status);
  const std::wstring raw = QueryText(call.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF);
  const std::string raw_text = Narrow(raw.data(), raw.size());
  for (size_t at = 0; at < raw_text.size();) {
    size_t end = raw_text.find('\n', at);
    if (end == std::string::npos) end = raw_text.size();
    const std::string_view line(raw_text.data() + at, end - at);
    if (at == 0) {
      response.status_line.assign(line.substr(0, line.find_last_not_of("\r ") + 1));
    } else {
      AddHeaderLine(line, response.headers);
    }
    at = end + 1;
  }
  DWORD reply_size = 0, reply_size_size = sizeof reply_size;
  if (!WinHttpQueryHeaders(call.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &reply_size, &reply_size_size, WINHTTP_NO_HEADER_INDEX)) {
    reply_size = 0;
  }
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    // A body that trickles in counts against the same time.
    if (deadline.Passed()) return fail(ERROR_WINHTTP_TIMEOUT);
    deadline.Apply(call.get());
    if (!WinHttpReadData(call.get(), buffer, sizeof buffer, &got)) return fail(GetLastError());
    if (got == 0) break;
    response.body.append(buffer, got);
    if (request.progress && !request.progress(got, reply_size)) {
      error = kStopped;
      return false;
    }
  }
  return true;
}

}  // namespace vesk::http
