#pragma once

// The former name of error_texts.h, kept only while the last files that
// include it by this name move to error_texts.h; include error_texts.h.
#include "engine/common/error_texts.h"
