// The one place envprobe includes <windows.h>, with the COM and automation headers.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // RegDeleteTreeW needs Vista or later
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
