#pragma once

// The Win32 API of the disk code: the Windows SDK on Windows; elsewhere, and
// in the tests' build of this code on Windows, the stand-in that the tests
// provide, which declares the same names.
#if defined(_WIN32) && !defined(TESSARO_WIN32_STANDIN)
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
#else
#include <win32standin.h>
#endif
