#pragma once

// Opening an address in the user's browser: the system's default browser on
// Windows (browser_win.cpp), xdg-open on POSIX (browser_posix.cpp).

#include <string>

namespace vesk::browser {

// Asks the system to show `url`; false (with the system's reason) when it
// could not hand the address over.
bool Open(const std::string& url, std::string& error);

}  // namespace vesk::browser
