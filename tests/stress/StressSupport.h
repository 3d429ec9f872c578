#pragma once
// Paths and keys shared by the stress test and its child processes.

#include <windows.h>

#include <string>

namespace stress {

constexpr const wchar_t* logKeyPath = L"SOFTWARE\\Quarvel\\Hollowmere\\Log";

// The stress output below the build tree.
std::wstring outputFolder();
// The private install folder: it holds the "logCfg.Ini" of the stress runs.
std::wstring configFolder();
// The private key HKEY_LOCAL_MACHINE stands for, under HKEY_CURRENT_USER.
std::wstring machineKeyPath();

// Lines every writer writes: the message is
//   "<kind> <process> <thread> <number> x...x end"
// with kind M (through the logging call) or S (straight to the file sink).
constexpr int threadsPerProcess = 4;
constexpr const char* component = "ProofStress";

}  // namespace stress
