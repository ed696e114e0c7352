#pragma once

// The page engine's interfaces (scripting context and its Server object), with
// their published identifiers. IID_IScriptingContext and IID_IServer are
// defined once, in page_engine.cpp.
#include "automation/frame/win.h"

#include <asptlb.h>
