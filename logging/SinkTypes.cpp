#include "SinkTypes.h"

#include "DebugStringSink.h"
#include "LogFileSink.h"
#include "SyslogSink.h"

#include <shlwapi.h>

#include <cstdint>
#include <cwchar>
#include <memory>

namespace LogUtils {

namespace {

// Replaces every occurrence of placeholder (case-sensitive) in text by value;
// a null value removes it. False when the result does not fit.
bool replaceAll(wchar_t (&text)[MAX_PATH], const wchar_t* placeholder, const wchar_t* value)
{
    const size_t placeholderLength = std::wcslen(placeholder);
    const size_t valueLength = value ? std::wcslen(value) : 0;
    wchar_t result[MAX_PATH];
    size_t length = 0;
    for (const wchar_t* p = text; *p;) {
        if (std::wcsncmp(p, placeholder, placeholderLength) == 0) {
            if (length + valueLength >= MAX_PATH)
                return false;
            std::wmemcpy(result + length, value, valueLength);
            length += valueLength;
            p += placeholderLength;
        } else {
            if (length + 1 >= MAX_PATH)
                return false;
            result[length++] = *p++;
        }
    }
    result[length] = L'\0';
    std::wmemcpy(text, result, length + 1);
    return true;
}

bool equalsIgnoringCase(const wchar_t* text, size_t length, const wchar_t* word)
{
    return std::wcslen(word) == length &&
           CompareStringOrdinal(text, static_cast<int>(length), word, static_cast<int>(length),
                                TRUE) == CSTR_EQUAL;
}

// "NUL", "com1.log", "LPT9 .txt": the file system opens the device whatever
// the folder and the extension.
bool isReservedDeviceName(const wchar_t* level, size_t length)
{
    size_t base = 0;
    while (base < length && level[base] != L'.')
        ++base;
    while (base > 0 && level[base - 1] == L' ')
        --base;
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
        if (equalsIgnoringCase(level, base, device))
            return true;
    }
    if (base != 4 ||
        !(equalsIgnoringCase(level, 3, L"COM") || equalsIgnoringCase(level, 3, L"LPT")))
        return false;
    const wchar_t digit = level[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
           digit == L'\u00b3';
}

// The library's own trouble goes to the debugger, never to the caller; once
// per process, for a refused name is refused again for every record.
void tellRefusedName(const wchar_t* name, const wchar_t* problem)
{
    static LONG told = 0;
    if (InterlockedExchange(&told, 1))
        return;
    wchar_t text[2 * MAX_PATH];
    std::swprintf(text, sizeof text / sizeof text[0],
                  L"Logging: the file name \"%ls\" %ls: its section writes nothing\n", name,
                  problem);
    // Narrow, as the debugger sink writes: every debugger reads that form.
    char narrow[4 * MAX_PATH];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 0)
        OutputDebugStringA(narrow);
}

// The file a section writes to: "logdir" joined with the file name, whose
// placeholders are replaced. False when the section writes nothing.
bool logFilePath(const wchar_t* fileName, LookupableW& properties, wchar_t (&path)[MAX_PATH])
{
    wchar_t expanded[MAX_PATH];
    if (!fileName || !expandLogFileName(fileName, properties, expanded))
        return false;
    if (const wchar_t* problem = logFileNameProblem(expanded)) {
        tellRefusedName(expanded, problem);
        return false;
    }
    const wchar_t* logDirectory = properties.getProperty(L"logdir");
    if (!logDirectory || std::wcslen(logDirectory) >= MAX_PATH)
        return false;
    std::wmemcpy(path, logDirectory, std::wcslen(logDirectory) + 1);
    return PathAppendW(path, expanded) != FALSE;
}

DWORD sizeLimit(const wchar_t* maximumSize)
{
    return maximumSize ? parseSectionNumber(maximumSize) : LogFileSink::defaultMaximumSize;
}

struct TransportChoice {
    SyslogTransport transport;
    std::uint16_t port;
};
const TransportChoice transportChoices[] = {
    {SyslogTransport::udp, SyslogSink::defaultPort},
    {SyslogTransport::tcp, 601},
    {SyslogTransport::tls, 6514},
    {SyslogTransport::relp, 2514},
    {SyslogTransport::relpTls, 2514},
};

std::uint16_t syslogPort(const wchar_t* portText, std::uint16_t transportPort)
{
    const auto port = static_cast<std::uint16_t>(portText ? parseSectionNumber(portText) : 0);
    return port ? port : transportPort;
}

// Said once per process (per told) on the debugger output: the section is
// refused for every record.
void tellRefusedSection(LONG& told, const wchar_t* refusal, const std::wstring& problem)
{
    if (InterlockedExchange(&told, 1))
        return;
    const std::wstring text = L"Logging: " + std::wstring(refusal) + L": " + problem + L"\n";
    OutputDebugStringW(text.c_str());
}

// Composed here, sent by the destination's background sender.
void queueSyslog(const StreamDestination& destination, const LogRecord& record,
                 ILogSinkStreamer& streamer, std::size_t capacity)
{
    char message[streamMessageCapacity];
    queueStreamMessage(
        destination, message,
        composeSyslogMessage(destination.format, record, streamer, message, capacity));
}

// The server is converted in the logging thread's code page. A host name is
// looked up by a sender of its own, never by the caller.
void sendSyslog(LogRecord& record, const StreamDestination& destination, const wchar_t* server,
                ILogSinkStreamer& streamer)
{
    char inlineServer[64];
    std::unique_ptr<char[]> heapServer;
    char* narrowServer = nullptr;
    if (server) {
        const size_t size = 2 * (std::wcslen(server) + 1);
        char* buffer = inlineServer;
        if (size > sizeof inlineServer) {
            heapServer.reset(new char[size]);
            buffer = heapServer.get();
        }
        if (WideCharToMultiByte(CP_THREAD_ACP, 0, server, -1, buffer, static_cast<int>(size),
                                nullptr, nullptr) > 0)
            narrowServer = buffer;
    }
    SyslogSink sink(record, narrowServer, destination.port, destination.format);
    if (sink.target() == SyslogTarget::name)
        queueSyslog(destination, record, streamer, SyslogSink::datagramCapacity);
    else
        sink.write(streamer);
}

bool readFileSettings(LogConfigurationSection& section, LookupableW& properties,
                      SinkSettings& settings)
{
    wchar_t path[MAX_PATH];
    if (!logFilePath(section.getProperty(L"filename"), properties, path))
        return false;
    std::wstring problem;
    if (!readWriteDelay(section.getProperty(L"writedelay"), settings.writeDelay, problem)) {
        static LONG told = 0;
        tellRefusedSection(told, L"a file section writes nothing", problem);
        return false;
    }
    settings.path = path;
    settings.maximumSize = sizeLimit(section.getProperty(L"maxsize"));
    return true;
}

void writeFile(const SinkSettings& settings, LogRecord&, ILogSinkStreamer& streamer)
{
    if (settings.folders)
        settings.folders->makeLogFolder();
    LogFileSink(settings.path.c_str(), settings.maximumSize, true, settings.writeDelay)
        .write(streamer);
}

bool readSyslogSettings(LogConfigurationSection& section, LookupableW&, SinkSettings& settings)
{
    StreamDestination& destination = settings.syslog;
    std::wstring problem;
    const bool usable =
        readSyslogChoices(section.getProperty(L"transport"), section.getProperty(L"message"),
                          section.getProperty(L"queue"), destination, problem);
    if (const wchar_t* server = section.getProperty(L"server")) {
        settings.hasServer = true;
        destination.server = server;
    }
    if (const wchar_t* ca = section.getProperty(L"ca"))
        destination.ca = ca;
    if (const wchar_t* serverName = section.getProperty(L"servername"))
        destination.serverName = serverName;
    destination.port = syslogPort(section.getProperty(L"port"), destination.port);
    if (!usable) {
        static LONG told = 0;
        tellRefusedSection(told, L"a syslog section sends nothing", problem);
    }
    return usable;
}

void writeSyslog(const SinkSettings& settings, LogRecord& record, ILogSinkStreamer& streamer)
{
    const StreamDestination& destination = settings.syslog;
    if (destination.transport == SyslogTransport::udp)
        sendSyslog(record, destination, settings.hasServer ? destination.server.c_str() : nullptr,
                   streamer);
    else if (settings.hasServer)
        queueSyslog(destination, record, streamer, streamMessageCapacity);
}

bool readNoSettings(LogConfigurationSection&, LookupableW&, SinkSettings&)
{
    return true;
}

void writeDebugString(const SinkSettings&, LogRecord&, ILogSinkStreamer& streamer)
{
    DebugStringSink().write(streamer);
}

// In the order a "type" value is compared with them.
const SinkType sinkTypes[] = {
    {L"file",
     SinkKind::file,
     {L"filename", L"maxsize", L"writedelay"},
     readFileSettings,
     writeFile},
    {L"syslog",
     SinkKind::syslog,
     {L"server", L"port", L"transport", L"message", L"ca", L"servername", L"queue"},
     readSyslogSettings,
     writeSyslog},
    {L"outputdebugstring", SinkKind::debugger, {}, readNoSettings, writeDebugString},
};

}  // namespace

const SinkType* findSinkType(const wchar_t* name)
{
    for (const SinkType& type : sinkTypes) {
        if (_wcsicmp(name, type.name) == 0)
            return &type;
    }
    return nullptr;
}

bool isSectionKey(const wchar_t* key)
{
    for (const wchar_t* common : {L"type", L"enabled", L"condition", L"filter", L"format"}) {
        if (_wcsicmp(key, common) == 0)
            return true;
    }
    for (const SinkType& type : sinkTypes) {
        for (const wchar_t* own : type.keys) {
            if (own && _wcsicmp(key, own) == 0)
                return true;
        }
    }
    return false;
}

bool expandLogFileName(const wchar_t* fileName, LookupableW& properties,
                       wchar_t (&expanded)[MAX_PATH])
{
    if (std::wcslen(fileName) >= MAX_PATH)
        return false;
    std::wmemcpy(expanded, fileName, std::wcslen(fileName) + 1);
    return replaceAll(expanded, L"<dt>", properties.getProperty(L"dt")) &&
           replaceAll(expanded, L"<activity>", properties.getProperty(L"activity"));
}

const wchar_t* logFileNameProblem(const wchar_t* name)
{
    if (!name[0])
        return L"is empty";
    if (name[0] == L'\\' || name[0] == L'/' || (name[0] && name[1] == L':'))
        return L"is not relative to the log folder";
    if (std::wcschr(name, L':'))
        return L"holds \":\" (a drive or a stream)";
    if (std::wcschr(name, L'/'))
        return L"holds \"/\"";
    for (const wchar_t* level = name; *level;) {
        const wchar_t* end = std::wcschr(level, L'\\');
        const size_t length = end ? static_cast<size_t>(end - level) : std::wcslen(level);
        if (length == 2 && level[0] == L'.' && level[1] == L'.')
            return L"climbs out of the log folder";
        if (isReservedDeviceName(level, length))
            return L"names a reserved device";
        level += length;
        if (*level)
            ++level;
    }
    return nullptr;
}

bool readSyslogChoices(const wchar_t* transport, const wchar_t* message, const wchar_t* queue,
                       StreamDestination& destination, std::wstring& problem)
{
    const TransportChoice* choice = transport ? nullptr : &transportChoices[0];
    for (const TransportChoice& known : transportChoices) {
        if (transport && _wcsicmp(transport, syslogTransportName(known.transport)) == 0)
            choice = &known;
    }
    if (!choice) {
        problem = L"transport \"" + std::wstring(transport) +
                  L"\" is none of udp, tcp, tls, relp, relp-tls";
        return false;
    }
    destination.transport = choice->transport;
    destination.port = choice->port;
    if (!message || _wcsicmp(message, L"bsd") == 0) {
        destination.format = SyslogFormat::bsd;
    } else if (_wcsicmp(message, L"rfc5424") == 0) {
        destination.format = SyslogFormat::rfc5424;
    } else {
        problem = L"message \"" + std::wstring(message) + L"\" is neither bsd nor rfc5424";
        return false;
    }
    const DWORD kib = queue ? parseSectionNumber(queue) : defaultQueueKiB;
    if (kib < minimumQueueKiB || kib > maximumQueueKiB) {
        problem = L"queue \"" + std::wstring(queue) + L"\" is not from 4 to 65536 (KiB)";
        return false;
    }
    destination.queueBytes = static_cast<std::size_t>(kib) * 1024;
    return true;
}

bool readWriteDelay(const wchar_t* text, DWORD& delay, std::wstring& problem)
{
    delay = 0;
    if (!text)
        return true;
    const wchar_t* digits = text;
    while (*digits == L' ' || *digits == L'\t')
        ++digits;
    const wchar_t* end = digits;
    while (*end >= L'0' && *end <= L'9' && end - digits < 6)
        ++end;
    // Six digits at most: no wrap can bring a long number back into range.
    if (end != digits && !*end)
        delay = parseSectionNumber(digits);
    if (end == digits || *end || delay > maximumWriteDelay) {
        delay = 0;
        problem = L"writedelay \"" + std::wstring(text) + L"\" is not from 0 to " +
                  std::to_wstring(maximumWriteDelay) + L" (milliseconds)";
        return false;
    }
    return true;
}

DWORD parseSectionNumber(const wchar_t* text)
{
    while (*text == L' ' || *text == L'\t')
        ++text;
    const bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+')
        ++text;
    DWORD value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
        value = value * 10 + static_cast<DWORD>(*text - L'0');
    return negative ? 0u - value : value;
}

}  // namespace LogUtils
