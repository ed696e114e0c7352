#pragma once

// Bytes sealed for the current user, so that a file holding them is no use
// to anyone else and shows nothing in clear. On Windows (user_secret_win.cpp)
// this is the system's data protection (DPAPI), bound to the user's logon
// credentials. The POSIX side (user_secret_posix.cpp) exists only so that the
// engine tests can run the same code natively: it hides the bytes from a
// plain search but protects nothing, and it is no security claim.

#include <string>
#include <string_view>

namespace vesk::user_secret {

// The sealed form of `clear`; false (with the platform's reason) on failure.
bool Seal(std::string_view clear, std::string& sealed, std::string& error);

// The clear bytes of a sealed form; false when the bytes were not sealed for
// this user or are damaged.
bool Open(std::string_view sealed, std::string& clear, std::string& error);

}  // namespace vesk::user_secret
