#pragma once
// What the custom actions of LogFolderAction.dll share: the installer's
// handles in the holder family, a session property read whole, and the one
// edge where nothing thrown reaches Windows Installer.

#include "UniqueResource.h"

#include <windows.h>
#include <msiquery.h>

#include <string>

using unique_msihandle = orn::unique_resource<MSIHANDLE, orn::closer<&MsiCloseHandle>>;

// Empty when the session does not have it; a deferred action reads its
// CustomActionData so.
inline std::wstring sessionProperty(MSIHANDLE session, const wchar_t* name)
{
    DWORD chars = 0;
    wchar_t none[1] = L"";
    if (MsiGetPropertyW(session, name, none, &chars) != ERROR_MORE_DATA)
        return std::wstring();
    std::wstring value(++chars, L'\0');
    if (MsiGetPropertyW(session, name, &value[0], &chars) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(chars);
    return value;
}

// The action's result, or failed()'s when the action throws (an allocation
// that failed): an exception must not end the installer's action server.
template <typename Action, typename Failed>
UINT runAction(Action action, Failed failed) noexcept
{
    try {
        return action();
    } catch (...) {
        return failed();
    }
}
