// Linked into the stress programs: before any object of the logging library
// is built, HKEY_LOCAL_MACHINE of the process is mapped onto a private key
// (named by ORN_STRESS_MACHINE) holding the install folder, so the log
// manager finds the stress configuration file there, and the Log key with
// debugging on. Nothing real is read or changed.

#include "StressSupport.h"

#include "Paths.h"
#include "UniqueResource.h"

#include <cstdlib>
#include <string>

namespace stress {

std::wstring outputFolder()
{
    return testsupport::binaryDir().wstring() + L"\\tests\\stress\\output";
}

std::wstring configFolder()
{
    return outputFolder() + L"\\config";
}

std::wstring machineKeyPath()
{
    const char* name = std::getenv("ORN_STRESS_MACHINE");
    std::wstring path = L"Software\\OrnTests\\stress\\";
    for (const char* p = name ? name : "default"; *p; ++p)
        path += static_cast<wchar_t>(*p);
    return path;
}

namespace {

void setText(HKEY root, const wchar_t* subKey, const wchar_t* name, const std::wstring& text)
{
    orn::unique_hkey key;
    if (RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) == ERROR_SUCCESS)
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

struct PrivateMachine {
    PrivateMachine()
    {
        if (!std::getenv("ORN_STRESS_MACHINE"))
            return;
        orn::unique_hkey machine;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, machineKeyPath().c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, machine.put(), nullptr) != ERROR_SUCCESS)
            return;
        CreateDirectoryW(outputFolder().c_str(), nullptr);
        CreateDirectoryW(configFolder().c_str(), nullptr);
        setText(machine.get(), L"SOFTWARE\\Quarvel\\Hollowmere", L"szInstallDir", configFolder());
        setText(machine.get(), logKeyPath, L"szCurrentActivityType", L"proofStress");
        orn::unique_hkey log;
        if (RegCreateKeyExW(machine.get(), logKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            log.put(), nullptr) == ERROR_SUCCESS) {
            const DWORD on = 1;
            RegSetValueExW(log.get(), L"bDebugEnable", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&on), sizeof on);
        }
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.get());
    }
};

// Before main: the logging runtime reads the install folder when the first
// record starts it.
PrivateMachine privateMachine;

}  // namespace

}  // namespace stress
