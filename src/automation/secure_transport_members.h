#pragma once

#include <string>

#include "automation/frame/properties.h"
#include "automation/frame/win.h"
#include "engine/net/transport_security.h"

namespace vesk::com {

// The members the derived protocol interfaces add for encrypted connections
// (Security, VerifyCertificate, TlsProtocol), the same on SMTP, POP3 and
// IMAP4. `Extended` is the derived interface, `Catalogued` the one it extends.
template <class Extended, class Catalogued>
class SecureTransportMembers : public Extended {
 public:
  using Interface = Extended;
  using CataloguedInterface = Catalogued;

  STDMETHODIMP get_Security(CONNECTION_SECURITY* value) override {
    return GetValue(static_cast<CONNECTION_SECURITY>(TransportSettings().mode), value);
  }
  STDMETHODIMP put_Security(CONNECTION_SECURITY value) override {
    if (value < CONNECTION_SECURITY_NONE || value > CONNECTION_SECURITY_TLS) return E_INVALIDARG;
    TransportSettings().mode = static_cast<vesk::Security>(value);
    return S_OK;
  }
  STDMETHODIMP get_VerifyCertificate(VARIANT_BOOL* value) override {
    return GetValue(ToVariantBool(TransportSettings().verify_certificate), value);
  }
  STDMETHODIMP put_VerifyCertificate(VARIANT_BOOL value) override {
    TransportSettings().verify_certificate = value != VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_TlsProtocol(BSTR* value) override { return GetText(NegotiatedTls(), value); }

 protected:
  virtual TransportSecurity& TransportSettings() = 0;
  virtual std::string NegotiatedTls() const = 0;
};

}  // namespace vesk::com
