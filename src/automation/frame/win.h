#pragma once

// The automation layer's door to the Windows and OLE headers.
#include "engine/platform/windows_support.h"

#include <cguid.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>

#include "veskmail_h.h"
