#pragma once

// The Win32 API of the disk code: the Windows SDK on Windows; elsewhere, and
// in the tests' build of this code on Windows, the stand-in that the tests
// provide, which declares the same names.
#if defined(_WIN32) && !defined(TESSARO_WIN32_STANDIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
#else
#include <win32standin.h>
#endif
