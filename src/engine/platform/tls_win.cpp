// TLS sessions over Schannel through SSPI. The handshake never checks the
// server's certificate (SCH_CRED_MANUAL_CRED_VALIDATION): it is checked here
// afterwards, with the chain engine and the SSL policy, because the platform's
// automatic check differs between Windows versions and Wine. Two rules are
// ours on top of the policy: a chain with any error status is refused even
// when the policy passes it (a partial chain from an unknown CA), and a host
// given as an address is matched against the certificate's IP-address
// alternative names by this code.

#include "engine/platform/windows_support.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/platform/sockets.h"
#include "engine/platform/tls.h"
#include "engine/platform/tls_win.h"

namespace vesk::tls {
namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

std::string StatusText(long status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(status), 0,
                 text, sizeof text, nullptr);
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                              message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? std::string(code) : message + " (" + code + ")";
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string CertificateName(PCCERT_CONTEXT certificate) {
  char name[256] = "";
  CertGetNameStringA(certificate, CERT_NAME_DNS_TYPE, 0, nullptr, name, sizeof name);
  return name;
}

class SchannelSession final : public Session {
 public:
  explicit SchannelSession(const Options& options) : options_(options), target_(Wide(options.host)) {
    SCHANNEL_CRED credentials{};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    // TLS 1.2 and 1.3; a system that does not know 1.3 is asked for 1.2 alone.
    for (DWORD protocols : {DWORD{SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT}, DWORD{SP_PROT_TLS1_2_CLIENT}}) {
      credentials.grbitEnabledProtocols = protocols;
      status_ = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                          nullptr, &credentials, nullptr, nullptr, &credentials_, nullptr);
      if (status_ == SEC_E_OK) {
        have_credentials_ = true;
        break;
      }
    }
  }

  ~SchannelSession() override {
    if (have_context_) DeleteSecurityContext(&context_);
    if (have_credentials_) FreeCredentialsHandle(&credentials_);
  }

  Progress Handshake(const char* received, std::size_t size, std::string& to_send) override {
    if (!have_credentials_) return Fail(Failure::kHandshake, StatusText(status_));
    if (size > 0) incoming_.append(received, size);
    for (;;) {
      SecBuffer in[2] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
      unsigned long attributes = 0;
      const SECURITY_STATUS status = InitializeSecurityContextW(
          &credentials_, have_context_ ? &context_ : nullptr, target_.data(), kContextFlags, 0, 0,
          have_context_ ? &in_desc : nullptr, 0, have_context_ ? nullptr : &context_, &out_desc, &attributes,
          nullptr);
      if (!have_context_ && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) have_context_ = true;
      if (out[0].pvBuffer != nullptr) {
        to_send.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
        FreeContextBuffer(out[0].pvBuffer);
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Progress::kMore;
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        return Fail(Failure::kHandshake, StatusText(status));
      }
      // What the step did not take stays for the next step (or, after the
      // last, for Decrypt).
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= incoming_.size()) {
        incoming_.erase(0, incoming_.size() - in[1].cbBuffer);
      } else if (have_context_) {
        incoming_.clear();
      }
      if (status == SEC_E_OK) {
        QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        return CheckCertificate();
      }
      if (status == SEC_I_CONTINUE_NEEDED && incoming_.empty()) return Progress::kMore;
    }
  }

  // Each record is sealed in place at the end of `out`: the plain text is
  // copied once, into the record that carries it.
  bool Encrypt(const char* data, std::size_t size, std::string& out) override {
    const std::size_t most = sizes_.cbMaximumMessage > 0 ? sizes_.cbMaximumMessage : 16384;
    while (size > 0) {
      const std::size_t chunk = size < most ? size : most;
      const std::size_t at = out.size();
      out.resize(at + sizes_.cbHeader + chunk + sizes_.cbTrailer);
      char* record = out.data() + at;
      std::memcpy(record + sizes_.cbHeader, data, chunk);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
          {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + chunk},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) {
        out.resize(at);
        return false;
      }
      out.resize(at + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      data += chunk;
      size -= chunk;
    }
    return true;
  }

  void Feed(const char* data, std::size_t size) override { incoming_.append(data, size); }

  // Every record the fed bytes complete, as far as `room` goes. A record is
  // decrypted where it lies in incoming_ and its text copied from there
  // straight to `out`; the ciphertext after it is not moved record by
  // record, only once per call, so a receive that brought many records costs
  // one pass over them.
  int Decrypt(char* out, std::size_t room) override {
    std::size_t taken = 0;
    while (room > 0) {
      if (plain_begin_ < plain_end_) {
        const char* plain = (plain_set_aside_ ? set_aside_.data() : incoming_.data()) + plain_begin_;
        const std::size_t count = std::min(room, plain_end_ - plain_begin_);
        std::memcpy(out + taken, plain, count);
        plain_begin_ += count;
        taken += count;
        room -= count;
        continue;
      }
      plain_begin_ = plain_end_ = 0;
      plain_set_aside_ = false;
      // The end (or damage) is reported after the text that came before it.
      if (closed_) {
        DropDecrypted();
        return taken > 0 ? static_cast<int>(taken) : -1;
      }
      if (cipher_begin_ == incoming_.size()) break;
      SecBuffer buffers[4] = {{static_cast<unsigned long>(incoming_.size() - cipher_begin_), SECBUFFER_DATA,
                               incoming_.data() + cipher_begin_},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      // SEC_I_CONTEXT_EXPIRED is the server's close_notify.
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
        closed_ = true;
        continue;
      }
      const std::size_t record_begin = cipher_begin_;
      cipher_begin_ = incoming_.size();
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer <= incoming_.size() - record_begin) {
          cipher_begin_ = incoming_.size() - buffer.cbBuffer;
        }
      }
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType != SECBUFFER_DATA || buffer.cbBuffer == 0) continue;
        const char* text = static_cast<const char*>(buffer.pvBuffer);
        if (text >= incoming_.data() + record_begin && text + buffer.cbBuffer <= incoming_.data() + cipher_begin_) {
          plain_begin_ = static_cast<std::size_t>(text - incoming_.data());
        } else {  // decrypted elsewhere than in place: kept aside
          set_aside_.assign(text, buffer.cbBuffer);
          plain_set_aside_ = true;
        }
        plain_end_ = plain_begin_ + buffer.cbBuffer;
      }
      // TLS 1.3 session tickets arrive as post-handshake messages, which
      // Schannel hands back to the context; they ask for no reply. The
      // context reads them from the start of incoming_.
      if (status == SEC_I_RENEGOTIATE) {
        if (!plain_set_aside_ && plain_begin_ < plain_end_) {
          set_aside_.assign(incoming_.data() + plain_begin_, plain_end_ - plain_begin_);
          plain_set_aside_ = true;
          plain_end_ -= plain_begin_;
          plain_begin_ = 0;
        }
        DropDecrypted();
        std::string ignored;
        Handshake(nullptr, 0, ignored);
      }
    }
    if (plain_begin_ == plain_end_) DropDecrypted();
    return static_cast<int>(taken);
  }

  std::string CloseNotify() override {
    std::string alert;
    if (!have_context_) return alert;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc token_desc{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&context_, &token_desc) != SEC_E_OK) return alert;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    InitializeSecurityContextW(&credentials_, &context_, target_.data(), kContextFlags, 0, 0, nullptr, 0, nullptr,
                               &out_desc, &attributes, nullptr);
    if (out.pvBuffer != nullptr) {
      alert.assign(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
      FreeContextBuffer(out.pvBuffer);
    }
    return alert;
  }

  std::string Description() const override {
    auto* context = const_cast<CtxtHandle*>(&context_);
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return "TLS";
    std::string text = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT)   ? "TLS 1.3"
                       : (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) ? "TLS 1.2"
                                                                   : "TLS";
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesW(context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK && cipher.szCipherSuite[0]) {
      std::string suite;
      for (const wchar_t* c = cipher.szCipherSuite; *c; ++c) suite.push_back(static_cast<char>(*c));
      return text + ", " + suite;
    }
    const char* name = info.aiCipher == CALG_AES_128 || info.aiCipher == CALG_AES_256 || info.aiCipher == CALG_AES
                           ? "AES"
                       : info.aiCipher == CALG_3DES ? "3DES"
                                                    : "cipher";
    return text + ", " + name + " " + std::to_string(info.dwCipherStrength) + " bits";
  }

 private:
  // Removes the records already decrypted from the front of incoming_ (their
  // text must have been taken or set aside).
  void DropDecrypted() {
    if (cipher_begin_ == 0) return;
    incoming_.erase(0, cipher_begin_);
    cipher_begin_ = 0;
  }

  Progress CheckCertificate() {
    if (!options_.verify_certificate) return Progress::kDone;
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == nullptr) {
      return Fail(Failure::kUntrusted, "the server sent no certificate");
    }
    const Progress result = CheckChain(certificate);
    CertFreeCertificateContext(certificate);
    return result;
  }

  Progress CheckChain(PCCERT_CONTEXT certificate) {
    const sockets::Ipv4Address address = sockets::ParseDottedAddress(options_.host.c_str());
    const bool is_address = address != sockets::kNoAddress;
    LPSTR server_usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = server_usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_para, 0, nullptr,
                                 &chain)) {
      return Fail(Failure::kUntrusted, StatusText(static_cast<long>(GetLastError())));
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // The policy matches names; an address is matched below, by this code.
    ssl.pwszServerName = is_address ? nullptr : target_.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    const BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    const DWORD chain_errors = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    if (!checked) return Fail(Failure::kUntrusted, StatusText(static_cast<long>(GetLastError())));
    const long error = static_cast<long>(status.dwError);
    if (error == CERT_E_EXPIRED || (chain_errors & CERT_TRUST_IS_NOT_TIME_VALID)) {
      return Fail(Failure::kExpired, StatusText(error != 0 ? error : CERT_E_EXPIRED));
    }
    if (error == CERT_E_CN_NO_MATCH) return Fail(Failure::kWrongName, CertificateName(certificate));
    if (error != 0) return Fail(Failure::kUntrusted, StatusText(error));
    if (chain_errors != 0) {
      char text[128];
      std::snprintf(text, sizeof text, "%s (chain status 0x%08lX)",
                    chain_errors & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT)
                        ? "its issuer is not a trusted certificate authority"
                        : "its chain is not valid",
                    static_cast<unsigned long>(chain_errors));
      return Fail(Failure::kUntrusted, text);
    }
    if (is_address && !CertificateHasAddress(certificate, address)) {
      return Fail(Failure::kWrongName, CertificateName(certificate));
    }
    return Progress::kDone;
  }

  Options options_;
  std::wstring target_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_credentials_ = false;
  bool have_context_ = false;
  SECURITY_STATUS status_ = SEC_E_OK;
  SecPkgContext_StreamSizes sizes_{};
  // Received ciphertext; once records are decrypted in place, the text of
  // the last one lies at [plain_begin_, plain_end_) and what follows it
  // begins at cipher_begin_.
  std::string incoming_;
  std::size_t cipher_begin_ = 0;
  std::size_t plain_begin_ = 0;
  std::size_t plain_end_ = 0;
  // Text that could not stay in incoming_ is served from here instead.
  std::string set_aside_;
  bool plain_set_aside_ = false;
  bool closed_ = false;
};

}  // namespace

bool CertificateHasAddress(PCCERT_CONTEXT certificate, sockets::Ipv4Address address) {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            std::memcmp(entry.IPAddress.pbData, &address, 4) == 0;
  }
  LocalFree(names);
  return found;
}

std::unique_ptr<Session> Session::Create(const Options& options) {
  return std::make_unique<SchannelSession>(options);
}

}  // namespace vesk::tls
