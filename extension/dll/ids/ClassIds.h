#pragma once
// The module's COM classes, one constant per class, its text form in the
// comment above it. The type library's source, the registry scripts and the
// installer write the text out; configuring the build checks them against
// this file (CheckClassIds.cmake).

#include <windows.h>

// {7C1D52B0-9E3A-4F06-8B2D-5A4E61C0F3D9}
inline constexpr CLSID CLSID_ShellExt = {
    0x7c1d52b0, 0x9e3a, 0x4f06, {0x8b, 0x2d, 0x5a, 0x4e, 0x61, 0xc0, 0xf3, 0xd9}};

// The Explorer command of Windows 11's menu, reached through the package's
// manifest alone, which is generated from the text form below: no script
// registers it and the type library does not describe it.
// {04E00E36-A66D-4BF3-9BD6-B9B885A6E71D}
inline constexpr CLSID CLSID_ExplorerCommand = {
    0x04e00e36, 0xa66d, 0x4bf3, {0x9b, 0xd6, 0xb9, 0xb8, 0x85, 0xa6, 0xe7, 0x1d}};
inline constexpr wchar_t CLSID_ExplorerCommandText[] = L"{04E00E36-A66D-4BF3-9BD6-B9B885A6E71D}";
// The verb under which the manifest lists that class for files and folders.
// Windows orders packaged verbs by it, and "Show more options" was seen to
// drop late ones for files: the leading "0000" puts this one first.
inline constexpr wchar_t ExplorerCommandVerbText[] = L"0000OrnShExtScan";
