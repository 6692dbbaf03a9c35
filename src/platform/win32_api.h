// The Win32 API, for every Windows source file of the program: include this
// instead of <windows.h>.
//
// <windows.h> maps the names of its A/W function pairs through macros. The
// program has functions and methods of its own with some of those names
// (LineDisplay::MessageBox, ReplaceFile); the macros are dropped here, once,
// and the Windows files call the ANSI functions by their full names
// (MessageBoxA, ReplaceFileA).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#undef MessageBox
#undef ReplaceFile
#undef DeleteFile
#undef CreateMutex
#undef Yield
