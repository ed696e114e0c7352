#pragma once

// Windows side of the TLS seam, for the other Windows sides that check a
// server's certificate themselves (the HTTPS seam).

#include "engine/platform/windows_support.h"

#include <wincrypt.h>

#include "engine/platform/sockets.h"

namespace vesk::tls {

// Whether the certificate lists the IPv4 address among its alternative
// names (Schannel's and WinHTTP's own name checks do not match addresses
// under Wine).
bool CertificateHasAddress(PCCERT_CONTEXT certificate, sockets::Ipv4Address address);

}  // namespace vesk::tls
