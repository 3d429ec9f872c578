// Helper process of the output tests.
//
//   write PATH MAXSIZE ID COUNT RESULT   appends COUNT numbered lines to PATH
//                                        through the file sink, then lists in
//                                        RESULT every number, marked "kept"
//                                        where the sink kept it for later
//   log COMPONENT LEVEL MESSAGE          one logging call
//   log-without-machine COMPONENT LEVEL MESSAGE
//                                        the same with HKEY_LOCAL_MACHINE seen
//                                        as an empty key
//   sections                             one record through two debugger
//                                        sections
//   keep PATH TEXT                       one line to PATH, which the parent
//                                        holds; exits once the parent lets
//                                        go (events OrnKept, OrnKeepRelease)
//   syslog PORT                          records of four levels and one
//                                        overlong line through a syslog
//                                        section to 127.0.0.1:PORT; prints
//                                        the computer name the header carries

#include "LogFileSink.h"
#include "LogManager.h"
#include "LogRecord.h"
#include "UniqueResource.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class TextStreamer : public LogUtils::ILogSinkStreamer {
public:
    explicit TextStreamer(const std::string& text) : text_(text) {}
    bool stream(LogUtils::OStream<char>& out) override
    {
        out.writeString(text_.c_str());
        return true;
    }

private:
    const std::string& text_;
};

int writeLines(const wchar_t* path, DWORD limit, int id, int count, const wchar_t* result)
{
    std::string written;
    for (int n = 0; n < count; ++n) {
        // Long enough that a torn write would show.
        const std::string line = "child " + std::to_string(id) + " line " + std::to_string(n) +
                                 " " + std::string(60 + n % 40, 'x') + " end";
        TextStreamer streamer(line);
        // A line refused after the retries is kept and written later.
        const bool now = LogUtils::LogFileSink(path, limit, true).write(streamer);
        written += std::to_string(id) + " " + std::to_string(n) + (now ? "\n" : " kept\n");
        Sleep(n % 3);
    }
    FILE* file = _wfopen(result, L"wb");
    if (!file)
        return 2;
    std::fwrite(written.data(), 1, written.size(), file);
    std::fclose(file);
    return 0;
}

// Applies two sections of type "outputdebugstring" to one record, in order.
int twoSections()
{
    LogUtils::PropertyLogConfiguration configuration;
    configuration.setProperty(0, L"type", L"outputdebugstring");
    configuration.setProperty(0, L"format", L"first %m");
    configuration.setProperty(1, L"type", L"OutputDebugString");
    configuration.setProperty(1, L"format", L"second %f %l %m");
    LogUtils::PropertyMap properties;
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    LogRecord record(".\\Child", 1, LevelInfo, "kwAgent", nullptr);
    record.narrowMessage = "to the debugger";
    LogUtils::CompiledRouting(configuration, view).route(record);
    return 0;
}

// The records a collector of the tests receives, in order, through one
// section of type "syslog".
int syslogSection(const wchar_t* port)
{
    LogUtils::PropertyLogConfiguration configuration;
    configuration.setProperty(0, L"type", L"syslog");
    configuration.setProperty(0, L"server", L"127.0.0.1");
    configuration.setProperty(0, L"port", port);
    configuration.setProperty(0, L"format", L"%f.%l %m");
    LogUtils::PropertyMap properties;
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    const LogUtils::CompiledRouting routing(configuration, view);
    const struct {
        int level;
        std::string message;
    } records[] = {
        {LevelEmergency, "disk on fire"},
        {LevelError, "scan of C:\\Temp\\a b.txt failed: 100% sure"},
        {LevelInfo, "agent started"},
        {LevelDebug, "trace"},
        {LevelWarning, "long " + std::string(1100, 'y')},
    };
    for (const auto& r : records) {
        LogRecord record(".\\Child", 1, r.level, "zuCpLib", nullptr);
        record.narrowMessage = r.message.c_str();
        routing.route(record);
    }
    char host[16] = {};
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
    std::printf("%s\n", host);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"write" && argc == 7)
        return writeLines(argv[2], std::wcstoul(argv[3], nullptr, 10), _wtoi(argv[4]),
                          _wtoi(argv[5]), argv[6]);
    orn::unique_hkey emptyMachine;
    if (mode == L"log-without-machine" && argc == 5) {
        const wchar_t* const empty = L"Software\\OrnShExtTests\\EmptyMachine";
        if (RegCreateKeyExW(HKEY_CURRENT_USER, empty, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, emptyMachine.put(), nullptr) != ERROR_SUCCESS ||
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, emptyMachine.get()) != ERROR_SUCCESS)
            return 3;
        RegDeleteKeyW(HKEY_CURRENT_USER, empty);
        mode = L"log";
    }
    if (mode == L"log" && argc == 5) {
        char component[64], message[1024];
        std::snprintf(component, sizeof component, "%ls", argv[2]);
        std::snprintf(message, sizeof message, "%ls", argv[4]);
        LogRecord(".\\Child", __LINE__, _wtoi(argv[3]), component, defaultLogManager())
            .print("%s", message);
        return 0;
    }
    if (mode == L"keep" && argc == 4) {
        char narrow[1024];
        std::snprintf(narrow, sizeof narrow, "%ls", argv[3]);
        const std::string text = narrow;
        TextStreamer streamer(text);
        const bool written = LogUtils::LogFileSink(argv[2], 0x200000, true).write(streamer);
        const orn::unique_handle kept(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"OrnKept"));
        const orn::unique_handle release(OpenEventW(SYNCHRONIZE, FALSE, L"OrnKeepRelease"));
        if (!kept || !release)
            return 3;
        SetEvent(kept.get());
        WaitForSingleObject(release.get(), 30000);
        return written ? 2 : 0;
    }
    if (mode == L"sections")
        return twoSections();
    if (mode == L"syslog" && argc == 3)
        return syslogSection(argv[2]);
    return 1;
}
