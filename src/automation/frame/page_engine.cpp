#include <initguid.h>

#include "automation/frame/page_engine.h"
