// Test stand-in for the system's data protection: AES-256-GCM under a key
// derived from the user id and a constant written below. Anyone who reads
// this file can open what it seals; it only keeps tokens out of a plain
// search of the file and lets the native tests take the Windows road.
#include <openssl/evp.h>
#include <unistd.h>

#include <memory>

#include "engine/platform/crypto.h"
#include "engine/platform/user_secret.h"

namespace vesk::user_secret {
namespace {

constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;

std::string StandInKey() { return crypto::Sha256("vesk test stand-in, not a protection: uid " + std::to_string(getuid())); }

struct FreeContext {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

const unsigned char* Bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }
unsigned char* Bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

}  // namespace

bool Seal(std::string_view clear, std::string& sealed, std::string& error) {
  std::string nonce;
  if (!crypto::RandomBytes(nonce, kNonceSize)) {
    error = "no random bytes";
    return false;
  }
  const std::string key = StandInKey();
  std::unique_ptr<EVP_CIPHER_CTX, FreeContext> context(EVP_CIPHER_CTX_new());
  std::string body(clear.size(), '\0');
  std::string tag(kTagSize, '\0');
  int length = 0, final_length = 0;
  if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, Bytes(key), Bytes(nonce)) != 1 ||
      EVP_EncryptUpdate(context.get(), Bytes(body), &length, Bytes(clear), static_cast<int>(clear.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), Bytes(body) + length, &final_length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, Bytes(tag)) != 1) {
    error = "encryption failed";
    return false;
  }
  sealed = nonce + tag + body;
  return true;
}

bool Open(std::string_view sealed, std::string& clear, std::string& error) {
  error = "the data was not sealed for this user or is damaged";
  if (sealed.size() < kNonceSize + kTagSize) return false;
  const std::string key = StandInKey();
  const std::string nonce(sealed.substr(0, kNonceSize));
  std::string tag(sealed.substr(kNonceSize, kTagSize));
  const std::string_view body = sealed.substr(kNonceSize + kTagSize);
  std::unique_ptr<EVP_CIPHER_CTX, FreeContext> context(EVP_CIPHER_CTX_new());
  clear.assign(body.size(), '\0');
  int length = 0, final_length = 0;
  const bool opened =
      context && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, Bytes(key), Bytes(nonce)) == 1 &&
      EVP_DecryptUpdate(context.get(), Bytes(clear), &length, Bytes(body), static_cast<int>(body.size())) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, Bytes(tag)) == 1 &&
      EVP_DecryptFinal_ex(context.get(), Bytes(clear) + length, &final_length) == 1;
  if (!opened) clear.clear();
  return opened;
}

}  // namespace vesk::user_secret
