// Writes its own command line (GetCommandLineW, UTF-16LE, no terminator) to
// the file named by the environment variable ORN_AGENT_RECORD, or else to
// "zuAgtSvc.cmdline" beside the executable, and its working folder
// (GetCurrentDirectoryW, the same form) to the same name with the extension
// ".cwd", that one first. Each text goes to a temporary file first and is then
// renamed into place, so a reader that sees the command line sees all of both.
// Then, when the environment names one in ORN_AGENT_STARTED, it sets that
// event: a test waits for the agent itself, not for a time.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring recordPath()
{
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(L"ORN_AGENT_RECORD", buffer, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2)
        return buffer;
    const DWORD moduleLength = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    if (moduleLength == 0 || moduleLength >= MAX_PATH * 2)
        return std::wstring();
    std::wstring path(buffer, moduleLength);
    const std::wstring::size_type slash = path.find_last_of(L'\\');
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"zuAgtSvc.cmdline";
}

bool writeRecord(const std::wstring& path, const std::wstring& text)
{
    const std::wstring temporary = path + L".part";
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    if (!ok || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const std::wstring path = recordPath();
    if (path.empty())
        return 2;
    const std::wstring::size_type dot = path.find_last_of(L'.');
    const std::wstring::size_type slash = path.find_last_of(L'\\');
    const std::wstring folderRecord =
        (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)
             ? path.substr(0, dot)
             : path) +
        L".cwd";
    wchar_t folder[MAX_PATH * 2];
    const DWORD folderLength = GetCurrentDirectoryW(MAX_PATH * 2, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH * 2)
        return 3;
    const bool written = writeRecord(folderRecord, std::wstring(folder, folderLength)) &&
                         writeRecord(path, GetCommandLineW());
    wchar_t event[MAX_PATH];
    const DWORD eventLength = GetEnvironmentVariableW(L"ORN_AGENT_STARTED", event, MAX_PATH);
    if (eventLength > 0 && eventLength < MAX_PATH) {
        const HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, event);
        if (started) {
            SetEvent(started);
            CloseHandle(started);
        }
    }
    return written ? 0 : 4;
}
