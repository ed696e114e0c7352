#pragma once

// The one door to the Windows headers for engine code: only the Windows side
// of a seam (a *_win.cpp file) includes this. Winsock 2 headers come before
// <windows.h> so that the old winsock.h is never pulled in.
#ifndef _WIN32
#error "windows_support.h is for the Windows side of a seam only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
