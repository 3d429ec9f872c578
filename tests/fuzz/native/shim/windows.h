#pragma once
// The Windows types, constants and functions that the natively fuzzed readers
// name, so that they compile with clang for libFuzzer. The functions are
// defined by Platform.cpp: stand-ins that keep no state beyond one input.

#include <cstdint>
#include <cwchar>

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef int LONG;
typedef unsigned int ULONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef int HRESULT;
typedef void* HANDLE;
typedef void* HGLOBAL;
typedef void* HLOCAL;
typedef wchar_t* BSTR;
typedef struct HKEY__* HKEY;
typedef struct HINSTANCE__* HMODULE;
typedef struct HRSRC__* HRSRC;
typedef struct HGDIOBJ__* HGDIOBJ;
typedef HGDIOBJ HBITMAP;
typedef DWORD LCID;

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

#define WINAPI
#define TRUE 1
#define FALSE 0
#define S_OK static_cast<HRESULT>(0)
#define S_FALSE static_cast<HRESULT>(1)
#define E_FAIL static_cast<HRESULT>(0x80004005u)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057u)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000Eu)
#define DISP_E_EXCEPTION static_cast<HRESULT>(0x80020009u)
#define DISP_E_TYPEMISMATCH static_cast<HRESULT>(0x80020005u)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
inline HRESULT HRESULT_FROM_WIN32(long error)
{
    return error <= 0 ? static_cast<HRESULT>(error)
                      : static_cast<HRESULT>((error & 0xffff) | 0x80070000u);
}
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define HKEY_CLASSES_ROOT reinterpret_cast<HKEY>(0x80000000ul)
#define HKEY_CURRENT_USER reinterpret_cast<HKEY>(0x80000001ul)
#define HKEY_LOCAL_MACHINE reinterpret_cast<HKEY>(0x80000002ul)
#define HKEY_USERS reinterpret_cast<HKEY>(0x80000003ul)
#define HKEY_PERFORMANCE_DATA reinterpret_cast<HKEY>(0x80000004ul)
#define HKEY_CURRENT_CONFIG reinterpret_cast<HKEY>(0x80000005ul)
#define HKEY_DYN_DATA reinterpret_cast<HKEY>(0x80000006ul)
#define INVALID_HANDLE_VALUE reinterpret_cast<HANDLE>(-1)
#define CSTR_EQUAL 2
#define CP_THREAD_ACP 3
#define LOAD_LIBRARY_AS_DATAFILE 2
#define MAKEINTRESOURCEW(id) reinterpret_cast<const wchar_t*>(static_cast<std::uintptr_t>(id))

inline int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    return wcscasecmp(a, b);
}

DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE handle);
HLOCAL LocalFree(HLOCAL memory);
BOOL FindClose(HANDLE handle);
// Named by the holder family's lock guard, which the readers never take.
struct SRWLOCK {
    void* Ptr;
};
void AcquireSRWLockExclusive(SRWLOCK* lock);
void AcquireSRWLockShared(SRWLOCK* lock);
BOOL TryAcquireSRWLockExclusive(SRWLOCK* lock);
void ReleaseSRWLockExclusive(SRWLOCK* lock);
void ReleaseSRWLockShared(SRWLOCK* lock);
BOOL FreeLibrary(HMODULE module);
BOOL DeleteObject(HGDIOBJ object);
int lstrcmpiW(const wchar_t* a, const wchar_t* b);
int CompareStringOrdinal(const wchar_t* a, int aLength, const wchar_t* b, int bLength, BOOL ignoreCase);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int length, wchar_t* result,
                        int capacity);
HMODULE LoadLibraryExW(const wchar_t* path, HANDLE file, DWORD flags);
HRSRC FindResourceW(HMODULE module, const wchar_t* name, const wchar_t* type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
DWORD SizeofResource(HMODULE module, HRSRC resource);
void* LockResource(HGLOBAL resource);

LONG RegCloseKey(HKEY key);
LONG RegCreateKeyExW(HKEY parent, const wchar_t* name, DWORD, wchar_t*, DWORD, DWORD access, void*,
                     HKEY* result, DWORD* disposition);
LONG RegOpenKeyExW(HKEY parent, const wchar_t* name, DWORD, DWORD access, HKEY* result);
LONG RegSetValueExW(HKEY key, const wchar_t* name, DWORD, DWORD type, const BYTE* data, DWORD size);
LONG RegDeleteValueW(HKEY key, const wchar_t* name);
LONG RegDeleteKeyW(HKEY parent, const wchar_t* name);
LONG RegDeleteTreeW(HKEY parent, const wchar_t* name);
LONG RegQueryInfoKeyW(HKEY key, wchar_t*, DWORD*, DWORD*, DWORD* subkeys, DWORD*, DWORD*, DWORD*,
                      DWORD*, DWORD*, DWORD*, void*);

DWORD GetPrivateProfileSectionNamesW(wchar_t* buffer, DWORD capacity, const wchar_t* path);
DWORD GetPrivateProfileSectionW(const wchar_t* name, wchar_t* buffer, DWORD capacity,
                                const wchar_t* path);
