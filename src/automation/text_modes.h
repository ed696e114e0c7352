#pragma once

// The engine's text modes for the code page a message's text crosses the
// automation boundary in: callers' narrow text is in the ANSI code page, or
// UTF-8 in a message's Unicode mode.

#include "automation/frame/win.h"
#include "engine/mime/text_mode.h"

namespace vesk::com {

// Built on first use from the ANSI code page and kept for the life of the
// module; CP_UTF8 gives the Unicode mode, any other code page the ANSI one.
const TextMode& TextModeOfCodePage(UINT code_page);

}  // namespace vesk::com
