// Stands in for powershell.exe where the installer's package actions look for
// it, so that the package test sees what they would run: each start appends
// its step, package family, install folder, arguments (all but the encoded
// script), module path and exit code to "powershell.record" beside the
// executable, and writes the script it was given, decoded, to
// "powershell-STEP.ps1" there (UTF-8 all).
//
// It answers as Windows would without doing anything: every step succeeds,
// and "Provisioned" answers from the record (0 when a Provision succeeded
// after the last Remove that did, 3 otherwise). "powershell.behaviour"
// beside it changes that, a word per line:
//   fail STEP             STEP fails the way a package cmdlet does: a
//                         message, exit code 1
//   ConstrainedLanguage   a script that defines types or reflects (Add-Type,
//                         GetMethods, MakeGenericMethod, a WinRT type) is
//                         refused as that language mode refuses it

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
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

std::string readText(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether the last successful Provision in the record came after the last
// successful Remove.
bool provisioned(const std::string& record)
{
    std::istringstream lines(record);
    std::string line, step;
    bool answer = false;
    while (std::getline(lines, line)) {
        if (line.compare(0, 5, "step=") == 0)
            step = line.substr(5);
        else if (line == "result=0" && step == "Provision")
            answer = true;
        else if (line == "result=0" && step == "Remove")
            answer = false;
    }
    return answer;
}

bool definesTypesOrReflects(const std::wstring& script)
{
    for (const wchar_t* refused : {L"Add-Type", L"GetMethods(", L"MakeGenericMethod(",
                                   L"ContentType = WindowsRuntime", L"[System.Reflection"}) {
        if (script.find(refused) != std::wstring::npos)
            return true;
    }
    return false;
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
    const std::string behaviour = "\n" + readText(folder + L"powershell.behaviour") + "\n";
    const std::string record = readText(folder + L"powershell.record");
    int result = 0;
    std::string message;
    if (behaviour.find("\nConstrainedLanguage\n") != std::string::npos &&
        definesTypesOrReflects(script)) {
        message = "Cannot add type. Definition of new types is not supported in this language mode.";
        result = 1;
    } else if (behaviour.find("\nfail " + utf8(step) + "\n") != std::string::npos) {
        message = "package deployment is not available here";
        result = 1;
    } else if (step == L"Provisioned") {
        result = provisioned(record) ? 0 : 3;
    }
    write(folder + L"powershell-" + step + L".ps1", utf8(script), false);
    write(folder + L"powershell.record",
          utf8(L"step=" + step + L"\nfamily=" + variable(L"ORN_PACKAGE_FAMILY") + L"\nfolder=" +
               variable(L"ORN_INSTALL_FOLDER") + L"\narguments=" + arguments + L"\nmodules=" +
               variable(L"PSModulePath") + L"\nresult=" + std::to_wstring(result) + L"\n"),
          true);
    if (!message.empty())
        std::printf("powershell stand-in: %s: %s\n", utf8(step).c_str(), message.c_str());
    return result;
}
