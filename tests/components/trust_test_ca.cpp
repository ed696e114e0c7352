// Adds the test servers' private CA (a PEM file) to the machine's Root store
// of the Wine prefix it runs in, so that the DLL's certificate checks trust
// the loopback servers. Test set-up only; never shipped.
//   trust_test_ca.exe Z:\path\to\ca.pem
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust_test_ca ca.pem\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(file), {}};
  std::vector<BYTE> der(pem.size());
  DWORD size = static_cast<DWORD>(der.size());
  if (pem.empty() ||
      !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
    std::fprintf(stderr, "cannot read a PEM certificate from %s\n", argv[1]);
    return 1;
  }
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!root || !CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    std::fprintf(stderr, "cannot add the certificate to the Root store (error %lu)\n", GetLastError());
    return 1;
  }
  CertCloseStore(root, 0);
  std::printf("trusted\n");
  return 0;
}
