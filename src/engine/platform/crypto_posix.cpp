#include <openssl/rand.h>
#include <openssl/sha.h>

#include "engine/platform/crypto.h"

namespace vesk::crypto {

bool RandomBytes(std::string& out, size_t count) {
  out.assign(count, '\0');
  return RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) == 1;
}

std::string Sha256(std::string_view data) {
  std::string digest(SHA256_DIGEST_LENGTH, '\0');
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
         reinterpret_cast<unsigned char*>(digest.data()));
  return digest;
}

}  // namespace vesk::crypto
