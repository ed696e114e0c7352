#pragma once

#include <string>

#include "automation/frame/page_engine.h"

namespace vesk::com {

// Turns a file name given by a caller into the path actually opened. Both are
// UTF-8, whatever the message's mode: the mode is about message text, and a
// path must keep every character on its way to the wide file functions. With
// virtual paths off, the name is the path. With them on, the page's Server
// object maps it (its MapPath); without a Server object, or when MapPath
// fails, there is no path and the caller fails with E_FAIL.
bool MapFilePath(IServer* server, bool use_virtual_path, const std::string& name, std::string& physical);

}  // namespace vesk::com
