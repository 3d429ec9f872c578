// Stands in for powershell.exe where the installer's package actions look for
// it, so that the package test sees what they would run: each start appends
// its step, install folder and arguments (all but the encoded script) to
// "powershell.record" beside the executable, and writes the script it was
// given, decoded, to "powershell.ps1" there (UTF-8 both). Then it fails the
// way a package cmdlet does: a message on standard error, exit code 1.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::wstring& text)
{
    std::string bytes(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr),
                      '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                        static_cast<int>(bytes.size()), nullptr, nullptr);
    return bytes;
}

std::wstring variable(const wchar_t* name)
{
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length && length < 4096 ? std::wstring(value, length) : L"(unset)";
}

bool write(const std::wstring& path, const std::string& bytes, bool append)
{
    const HANDLE file =
        CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                    append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, length);
    folder.resize(folder.find_last_of(L'\\') + 1);

    std::wstring arguments, script;
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"-EncodedCommand") == 0 && i + 1 < argc) {
            DWORD bytes = 0;
            CryptStringToBinaryW(argv[i + 1], 0, CRYPT_STRING_BASE64, nullptr, &bytes, nullptr,
                                 nullptr);
            std::wstring decoded(bytes / sizeof(wchar_t), L'\0');
            if (CryptStringToBinaryW(argv[i + 1], 0, CRYPT_STRING_BASE64,
                                     reinterpret_cast<BYTE*>(&decoded[0]), &bytes, nullptr,
                                     nullptr))
                script = decoded;
            arguments += L" -EncodedCommand (script)";
            ++i;
        } else {
            arguments += L" " + std::wstring(argv[i]);
        }
    }
    const std::wstring step = variable(L"ORN_PACKAGE_STEP");
    write(folder + L"powershell.ps1", utf8(script), false);
    write(folder + L"powershell.record",
          utf8(L"step=" + step + L"\nfolder=" + variable(L"ORN_INSTALL_FOLDER") + L"\narguments=" +
               arguments + L"\n"),
          true);
    std::fprintf(stderr, "powershell stand-in: %s: package deployment is not available here\n",
                 utf8(step).c_str());
    return 1;
}
