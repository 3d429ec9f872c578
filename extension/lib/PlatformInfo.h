#pragma once
// The probe that tells whether the Wow6432Node copy of the install key has to
// be consulted as well; the keys themselves are in ProductKeys.h.

#include <windows.h>

#include "ProductKeys.h"

// True only when the platform confirms a 32-bit process on 64-bit Windows.
// Nothing is cached: every call looks the function up and asks again.
bool IsWow64();

namespace platform_detail {

// IsWow64 with the module to search and the process to ask as parameters:
// Wine always has the function and never fails for the current process, so
// tests reach the two failure paths only through here.
bool IsWow64In(const char* moduleName, HANDLE process);

}  // namespace platform_detail
