#include <curl/curl.h>

#include <mutex>

#include "engine/platform/http.h"

namespace vesk::http {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Each header line as it comes; a new status line (after "100 Continue" or
// a proxy's answer) starts the list again.
size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<Response*>(user);
  std::string_view line(data, size * count);
  if (line.compare(0, 5, "HTTP/") == 0) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    response->status_line.assign(line);
    response->headers.clear();
  } else {
    AddHeaderLine(line, response->headers);
  }
  return size * count;
}

// libcurl's counts are totals so far: the progress function gets what is new.
struct Progress {
  const Request* request;
  curl_off_t reported = 0;
  bool stopped = false;
};

int TellProgress(void* user, curl_off_t download_total, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* progress = static_cast<Progress*>(user);
  const curl_off_t now = downloaded + uploaded;
  if (now == progress->reported) return 0;
  const auto moved = static_cast<std::uint64_t>(now - progress->reported);
  progress->reported = now;
  if (progress->request->progress(moved, static_cast<std::uint64_t>(download_total))) return 0;
  progress->stopped = true;
  return 1;
}

// curl_global_init is not thread-safe in older libcurl; once per process.
void InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool Send(const Request& request, Response& response, std::string& error) {
  InitialiseOnce();
  response = Response{};
  CURL* curl = curl_easy_init();
  if (!curl) {
    error = "libcurl could not start a request";
    return false;
  }
  char message[CURL_ERROR_SIZE] = {};
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
  // The body goes at once: no waiting for "100 Continue".
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    if (request.method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (!request.body.empty() || request.method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
  }
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout_ms));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  if (!request.extra_ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.extra_ca_file.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
  Progress progress{&request};
  if (request.progress) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &TellProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &progress);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  } else {
    error = progress.stopped ? kStopped : message[0] ? message : curl_easy_strerror(code);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return code == CURLE_OK;
}

}  // namespace vesk::http
