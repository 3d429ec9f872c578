#pragma once
#include <windows.h>

void SysFreeString(BSTR text);
HRESULT VarUI4FromStr(const wchar_t* text, LCID locale, ULONG flags, ULONG* result);
