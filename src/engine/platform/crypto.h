#pragma once

// The few cryptographic primitives OAuth 2 needs (PKCE and the state of a
// browser sign-in), from the platform: OpenSSL on POSIX (crypto_posix.cpp),
// the system's CNG on Windows (crypto_win.cpp).

#include <string>
#include <string_view>

namespace vesk::crypto {

// `count` bytes from the system's cryptographic random source; false when it
// gave none.
bool RandomBytes(std::string& out, size_t count);

// The 32-byte SHA-256 digest of `data`.
std::string Sha256(std::string_view data);

}  // namespace vesk::crypto
