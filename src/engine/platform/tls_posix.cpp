// TLS sessions over OpenSSL with memory BIOs: the library reads what we feed
// into one BIO and writes its records into another; no socket is involved.
//
// Loading the system's trusted roots takes tens of milliseconds (every
// certificate of the bundle is parsed), several times what a handshake on
// loopback costs, so the configured context that holds them is made once and
// shared by the sessions that trust the same extra file (see SharedContext).

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <string>

#include "engine/platform/sockets.h"
#include "engine/platform/tls.h"

namespace vesk::tls {
namespace {

std::string OpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? std::string("unknown reason") : text;
}

bool IsAddress(const std::string& host) {
  return sockets::ParseDottedAddress(host.c_str()) != sockets::kNoAddress;
}

// The first DNS name (or address) the certificate is issued for, else its
// common name: what a user sees as "the name it was for".
std::string CertificateName(X509* certificate) {
  std::string name;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && name.empty(); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
    if (entry->type == GEN_DNS) {
      name.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(entry->d.dNSName)),
                  static_cast<std::size_t>(ASN1_STRING_length(entry->d.dNSName)));
    } else if (entry->type == GEN_IPADD && ASN1_STRING_length(entry->d.iPAddress) == 4) {
      const unsigned char* b = ASN1_STRING_get0_data(entry->d.iPAddress);
      name = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
             std::to_string(b[3]);
    }
  }
  GENERAL_NAMES_free(names);
  if (name.empty()) {
    char common[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, common, sizeof common);
    name = common;
  }
  return name;
}

SSL_CTX* NewContext(const std::string& extra_ca_file) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // The chain is always verified (its result is judged after the
  // handshake); VERIFY_NONE only keeps a bad chain from aborting it.
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_default_verify_paths(context);
  if (!extra_ca_file.empty()) SSL_CTX_load_verify_locations(context, extra_ca_file.c_str(), nullptr);
  // What loading left on this thread's queue (a duplicate root, a file that
  // is not there) must not be read as the reason of a later failure.
  ERR_clear_error();
  return context;
}

// A client context as NewContext makes it, shared by every session that
// trusts the same extra file: one reference for the caller, or null. A
// context is only read once made (OpenSSL guards its certificate store
// itself), and clients keep no session cache, so sharing it changes
// nothing a session sends. It is made again when the extra file has changed
// (its time or size) and once it is a day old, so that a long-lived process
// sees new roots without being restarted.
SSL_CTX* SharedContext(const std::string& extra_ca_file) {
  struct Entry {
    SSL_CTX* context = nullptr;
    std::chrono::steady_clock::time_point made;
    std::string file_identity;
  };
  constexpr auto kMostAge = std::chrono::hours(24);
  static std::mutex mutex;
  static auto& entries = *new std::map<std::string, Entry>;  // lives as long as the process
  std::string identity;
  struct stat status {};
  if (!extra_ca_file.empty() && ::stat(extra_ca_file.c_str(), &status) == 0) {
    identity = std::to_string(static_cast<long long>(status.st_mtim.tv_sec)) + "." +
               std::to_string(static_cast<long long>(status.st_mtim.tv_nsec)) + "/" +
               std::to_string(static_cast<long long>(status.st_size));
  }
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex);
  Entry& entry = entries[extra_ca_file];
  if (entry.context == nullptr || entry.file_identity != identity || now - entry.made >= kMostAge) {
    SSL_CTX* fresh = NewContext(extra_ca_file);
    if (fresh == nullptr) return nullptr;
    // Sessions that still use the old one hold their own references.
    if (entry.context != nullptr) SSL_CTX_free(entry.context);
    entry = Entry{fresh, now, identity};
  }
  SSL_CTX_up_ref(entry.context);
  return entry.context;
}

class OpenSslSession final : public Session {
 public:
  explicit OpenSslSession(const Options& options) : options_(options) {
    context_ = SharedContext(options.extra_ca_file);
    if (context_ == nullptr) return;
    ssl_ = SSL_new(context_);
    if (ssl_ == nullptr) return;
    incoming_ = BIO_new(BIO_s_mem());
    outgoing_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, incoming_, outgoing_);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (IsAddress(options.host)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, options.host.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_, options.host.c_str());
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, options.host.c_str(), 0);
    }
    SSL_set_connect_state(ssl_);
  }

  ~OpenSslSession() override {
    if (ssl_ != nullptr) SSL_free(ssl_);  // frees both BIOs
    if (context_ != nullptr) SSL_CTX_free(context_);
  }

  Progress Handshake(const char* received, std::size_t size, std::string& to_send) override {
    if (ssl_ == nullptr) return Fail(Failure::kHandshake, OpenSslErrors());
    Feed(received, size);
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    TakeOutgoing(to_send);
    if (result == 1) return CheckCertificate();
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Progress::kMore;
    return Fail(Failure::kHandshake, OpenSslErrors());
  }

  bool Encrypt(const char* data, std::size_t size, std::string& out) override {
    ERR_clear_error();
    while (size > 0) {
      const int chunk = static_cast<int>(size > INT_MAX ? INT_MAX : size);
      const int written = SSL_write(ssl_, data, chunk);
      if (written <= 0) return false;
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    TakeOutgoing(out);
    return true;
  }

  void Feed(const char* data, std::size_t size) override {
    if (size > 0) BIO_write(incoming_, data, static_cast<int>(size));
  }

  // Every record the fed bytes complete, as far as `room` goes: one call
  // drains what a receive brought instead of one record per call. With
  // nothing fed and nothing decrypted left over no record can be complete,
  // and the call costs no SSL_read.
  int Decrypt(char* out, std::size_t room) override {
    if (ended_) return -1;
    int taken = 0;
    while (room > 0 && (SSL_pending(ssl_) > 0 || BIO_ctrl_pending(incoming_) > 0)) {
      ERR_clear_error();
      const int n = SSL_read(ssl_, out, static_cast<int>(room > INT_MAX ? INT_MAX : room));
      if (n <= 0) {
        const int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) break;
        // The end (or damage) is reported after what came before it.
        ended_ = true;
        return taken > 0 ? taken : -1;
      }
      out += n;
      room -= static_cast<std::size_t>(n);
      taken += n;
      if (taken > INT_MAX - 16384) break;
    }
    return taken;
  }

  std::string CloseNotify() override {
    std::string out;
    SSL_shutdown(ssl_);
    TakeOutgoing(out);
    return out;
  }

  std::string Description() const override {
    const int version = SSL_version(ssl_);
    const char* name = version == TLS1_3_VERSION ? "TLS 1.3" : version == TLS1_2_VERSION ? "TLS 1.2" : "TLS";
    return std::string(name) + ", " + SSL_get_cipher_name(ssl_);
  }

 private:
  // Moves the records OpenSSL wrote straight to the end of `out`.
  void TakeOutgoing(std::string& out) {
    for (std::size_t pending; (pending = BIO_ctrl_pending(outgoing_)) > 0;) {
      const std::size_t had = out.size();
      out.resize(had + pending);
      const int n = BIO_read(outgoing_, out.data() + had, static_cast<int>(pending > INT_MAX ? INT_MAX : pending));
      out.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
      if (n <= 0) break;
    }
  }

  Progress CheckCertificate() {
    if (!options_.verify_certificate) return Progress::kDone;
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    if (certificate == nullptr) return Fail(Failure::kUntrusted, "the server sent no certificate");
    const std::string name = CertificateName(certificate);
    X509_free(certificate);
    const long result = SSL_get_verify_result(ssl_);
    switch (result) {
      case X509_V_OK:
        return Progress::kDone;
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return Fail(Failure::kExpired, X509_verify_cert_error_string(result));
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return Fail(Failure::kWrongName, name);
      default:
        return Fail(Failure::kUntrusted, X509_verify_cert_error_string(result));
    }
  }

  Options options_;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* incoming_ = nullptr;
  BIO* outgoing_ = nullptr;
  // The server closed the session, or a record was damaged.
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<Session> Session::Create(const Options& options) {
  return std::make_unique<OpenSslSession>(options);
}

}  // namespace vesk::tls
