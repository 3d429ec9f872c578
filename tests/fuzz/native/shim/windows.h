#pragma once
// The few Windows types the condition grammar's headers name, so that the
// grammar compiles natively for the fuzzer. Nothing here is called.

#include <cwchar>

typedef unsigned short WORD;
typedef unsigned int DWORD;

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

inline int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    return wcscasecmp(a, b);
}
