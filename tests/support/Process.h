#pragma once
// Child processes of the tests: started, waited for, their output kept.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "Paths.h"
#include "UniqueResource.h"

namespace testsupport {

// A started process, or an empty holder when it could not start.
inline orn::unique_handle startProcess(std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return orn::unique_handle();
    CloseHandle(process.hThread);
    return orn::unique_handle(process.hProcess);
}

// What a debugged child sent to the debugger output, in order, and its exit
// code.
struct DebuggedChild {
    std::vector<std::string> texts;
    DWORD exitCode = 0xFFFFFFFF;
};

// Runs the commands as debugged children at once, to their ends, and answers
// each by process id. Debug events go to the thread that started the
// children: this call is that thread's whole work.
inline std::map<DWORD, DebuggedChild> debugChildren(std::vector<std::wstring> commands)
{
    std::map<DWORD, DebuggedChild> children;
    std::map<DWORD, orn::unique_handle> processes;
    for (std::wstring& command : commands) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                            nullptr, nullptr, &startup, &process))
            continue;
        CloseHandle(process.hThread);
        processes[process.dwProcessId].reset(process.hProcess);
        children[process.dwProcessId];
    }
    for (std::size_t running = processes.size(); running > 0;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, 60000))
            break;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            std::string text(info.nDebugStringLength, '\0');
            SIZE_T got = 0;
            if (!info.fUnicode &&
                ReadProcessMemory(processes[event.dwProcessId].get(), info.lpDebugStringData,
                                  &text[0], text.size(), &got))
                children[event.dwProcessId].texts.push_back(text.substr(0, text.find('\0')));
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            children[event.dwProcessId].exitCode = event.u.ExitProcess.dwExitCode;
            --running;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    for (const auto& process : processes)
        WaitForSingleObject(process.second.get(), 10000);
    return children;
}

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    DWORD processId = 0;
    std::string output;
};

// Runs a program to its end with its standard output and error captured.
// The output goes through a file, not a pipe: a background program that Wine
// starts on the child's behalf may inherit the handle and keep a pipe open.
inline ProcessResult runProcess(const std::wstring& commandLine, DWORD patienceMs = 60000)
{
    ProcessResult result;
    wchar_t folder[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    if (!GetTempFileNameW(folder, L"orn", 0, name))
        return result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    orn::unique_file output(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr));
    if (!output)
        return result;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return result;
    orn::unique_handle processHandle(process.hProcess), threadHandle(process.hThread);
    result.processId = process.dwProcessId;
    if (WaitForSingleObject(processHandle.get(), patienceMs) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle.get(), 0xFFFFFFFF);
        result.output = "(timed out)";
        return result;
    }
    GetExitCodeProcess(processHandle.get(), &result.exitCode);
    SetFilePointer(output.get(), 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(output.get(), buffer, sizeof(buffer), &read, nullptr) && read)
        result.output.append(buffer, read);
    return result;
}

inline std::wstring quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// A path of Wine's Z: drive as the Linux side names it.
inline std::wstring linuxPath(const std::wstring& path)
{
    std::wstring result = path.substr(2);
    for (wchar_t& c : result)
        c = c == L'\\' ? L'/' : c;
    return result;
}

// A Linux shell command, started by Wine directly, not waited for: Wine
// gives no handle on a Linux process.
inline bool startLinux(const std::wstring& command)
{
    std::wstring line = L"Z:\\bin\\sh -c \"" + command + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    const orn::unique_handle processHandle(process.hProcess), thread(process.hThread);
    return true;
}

// A Linux shell command run to its end: it ends by making a marker file,
// which is waited for.
inline bool runLinux(const std::wstring& command)
{
    const std::wstring marker = binaryDir().wstring() + L"\\linux-done-" + uniqueSuffix();
    if (!startLinux(command + L" ; touch " + linuxPath(marker)))
        return false;
    for (int wait = 0; wait < 1000; ++wait) {
        if (DeleteFileW(marker.c_str()))
            return true;
        Sleep(10);
    }
    return false;
}

}  // namespace testsupport
