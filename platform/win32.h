// The one door to the platform. On Windows the SDK headers; elsewhere the
// simulated machine declares the same names, types and constants, and the
// native build links it. Nothing outside platform/ tests for the platform.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winspool.h>
#include <shellapi.h>
#include <winver.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>
#define W(s) L##s
#else
#include "sim/sim_win32.h"
#define W(s) u##s
#endif

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
