#pragma once

// The page engine's interfaces (scripting context and its Server object), with
// their published identifiers. IID_IScriptingContext and IID_IServer are
// defined once, in page_engine.cpp.
#include "automation/frame/win.h"

#include <asptlb.h>

// Their identifiers for __uuidof, so that the frame's QueryInterface tables
// and ComPtr::As can name them like any other interface.
__CRT_UUID_DECL(IScriptingContext, 0xD97A6DA0, 0xA868, 0x11cf, 0x83, 0xAE, 0x00, 0xB0, 0xC9, 0x0C, 0x2B, 0xD8)
__CRT_UUID_DECL(IServer, 0xD97A6DA0, 0xA867, 0x11cf, 0x83, 0xAE, 0x01, 0xA0, 0xC9, 0x0C, 0x2B, 0xD8)
