#include "LogManager.h"

#include "LogFileSink.h"
#include "SyslogSink.h"

#include <shlwapi.h>

#include <cstdint>
#include <cwchar>
#include <exception>
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

// The file a section writes to: "logdir" joined with the file name, whose
// placeholders are replaced. False when the section writes nothing.
bool logFilePath(const wchar_t* fileName, LookupableW& properties, wchar_t (&path)[MAX_PATH])
{
    if (!fileName || std::wcslen(fileName) >= MAX_PATH)
        return false;
    wchar_t expanded[MAX_PATH];
    std::wmemcpy(expanded, fileName, std::wcslen(fileName) + 1);
    if (!replaceAll(expanded, L"<dt>", properties.getProperty(L"dt")) ||
        !replaceAll(expanded, L"<activity>", properties.getProperty(L"activity")))
        return false;
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

std::uint16_t syslogPort(const wchar_t* portText)
{
    return static_cast<std::uint16_t>(portText ? parseSectionNumber(portText) : 0);
}

void writeFile(LogConfigurationSection& section, LookupableW& properties,
               ILogSinkStreamer& streamer)
{
    wchar_t path[MAX_PATH];
    DWORD limit = 0;
    if (fileSinkTarget(section, properties, path, limit))
        LogFileSink(path, limit, true).write(streamer);
}

// The server is converted in the logging thread's code page.
void sendSyslog(LogRecord& record, const wchar_t* server, std::uint16_t port,
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
    SyslogSink(record, narrowServer, port).write(streamer);
}

}  // namespace

bool fileSinkTarget(LogConfigurationSection& section, LookupableW& properties,
                    wchar_t (&path)[MAX_PATH], DWORD& limit)
{
    if (!logFilePath(section.getProperty(L"filename"), properties, path))
        return false;
    limit = sizeLimit(section.getProperty(L"maxsize"));
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

bool LogManagerImpl::processSection(LogRecord& record, LookupableW& lookup,
                                    LookupableW& properties)
{
    LogConfigurationSection section(&lookup);
    const wchar_t* type = section.getProperty(L"type");
    if (!section.isEnabled() || !type)
        return false;

    if (IFilterEvaluator* evaluator = getFilterEvaluator()) {
        try {
            if (!evaluator->evaluateCondition(section.getProperty(L"condition"), record,
                                              &properties))
                return false;
            if (!evaluator->evaluateFilter(section.getProperty(L"filter"), record, &properties))
                return false;
        } catch (const std::exception&) {
            // An evaluation that ran out of memory lets the record through
            // rather than lose it.
        }
    }

    Streamer streamer(section.getProperty(L"format"), getFormatter(), record);
    if (_wcsicmp(type, L"file") == 0)
        writeFile(section, properties, streamer);
    else if (_wcsicmp(type, L"syslog") == 0)
        sendSyslog(record, section.getProperty(L"server"),
                   syslogPort(section.getProperty(L"port")), streamer);
    else if (_wcsicmp(type, L"outputdebugstring") == 0)
        DebugStringSink().write(streamer);
    return false;
}

bool LogManagerImpl::ConfigurationAction::operator()(LogConfigurationW& configuration)
{
    ConfigurationSectionAction action(manager_, record_, properties_);
    return configuration.firstThat(action);
}

bool LogManagerImpl::ConfigurationSectionAction::operator()(LookupableW& section)
{
    manager_.processSection(record_, section, properties_);
    return false;
}

class CompiledRouting::Builder : public LogConfigurationW::ActionType {
public:
    Builder(std::vector<Section>& sections, LookupableW& properties, IFilterEvaluator* evaluator)
        : sections_(sections), properties_(properties), evaluator_(evaluator)
    {
    }

    bool operator()(LookupableW& lookup) override
    {
        LogConfigurationSection section(&lookup);
        const wchar_t* type = section.getProperty(L"type");
        if (!section.isEnabled() || !type)
            return false;
        Section compiled;
        if (_wcsicmp(type, L"file") == 0)
            compiled.sink = Sink::File;
        else if (_wcsicmp(type, L"syslog") == 0)
            compiled.sink = Sink::Syslog;
        else if (_wcsicmp(type, L"outputdebugstring") == 0)
            compiled.sink = Sink::DebugString;
        else
            return false;

        if (evaluator_) {
            const wchar_t* condition = section.getProperty(L"condition");
            try {
                if (!evaluator_->evaluateCondition(condition, record_, &properties_))
                    return false;
            } catch (const std::exception&) {
                compiled.conditionPerRecord = true;
                compiled.hasCondition = condition != nullptr;
                if (condition)
                    compiled.condition = condition;
            }
            compiled.filter = CompiledFilter(section.getProperty(L"filter"));
        }

        if (const wchar_t* format = section.getProperty(L"format")) {
            compiled.hasFormat = true;
            compiled.format = format;
        }
        switch (compiled.sink) {
        case Sink::File: {
            wchar_t path[MAX_PATH];
            if (!logFilePath(section.getProperty(L"filename"), properties_, path))
                return false;
            compiled.path = path;
            compiled.maximumSize = sizeLimit(section.getProperty(L"maxsize"));
            break;
        }
        case Sink::Syslog:
            if (const wchar_t* server = section.getProperty(L"server")) {
                compiled.hasServer = true;
                compiled.server = server;
            }
            compiled.port = syslogPort(section.getProperty(L"port"));
            break;
        case Sink::DebugString:
            break;
        }
        sections_.push_back(std::move(compiled));
        return false;
    }

private:
    std::vector<Section>& sections_;
    LookupableW& properties_;
    IFilterEvaluator* evaluator_;
    // Conditions read only the properties; the interface still wants a record.
    LogRecord record_{"", 0, LevelDebug, "", nullptr};
};

CompiledRouting::CompiledRouting(LogConfigurationW& configuration, LookupableW& properties,
                                 IFilterEvaluator* evaluator)
{
    Builder builder(sections_, properties, evaluator);
    configuration.firstThat(builder);
}

void CompiledRouting::route(LogRecord& record, LogManagerImpl& manager,
                            LookupableW& properties) const
{
    for (const Section& section : sections_) {
        try {
            if (section.conditionPerRecord) {
                IFilterEvaluator* evaluator = manager.getFilterEvaluator();
                const wchar_t* condition =
                    section.hasCondition ? section.condition.c_str() : nullptr;
                if (evaluator && !evaluator->evaluateCondition(condition, record, &properties))
                    continue;
            }
            if (!section.filter.matches(record))
                continue;
        } catch (const std::exception&) {
            // As in processSection: the record goes through rather than is lost.
        }
        LogManagerImpl::Streamer streamer(section.hasFormat ? section.format.c_str() : nullptr,
                                          manager.getFormatter(), record);
        switch (section.sink) {
        case Sink::File:
            LogFileSink(section.path.c_str(), section.maximumSize, true).write(streamer);
            break;
        case Sink::Syslog:
            sendSyslog(record, section.hasServer ? section.server.c_str() : nullptr, section.port,
                       streamer);
            break;
        case Sink::DebugString:
            DebugStringSink().write(streamer);
            break;
        }
    }
}

bool LogManagerImpl::Streamer::stream(OStream<char>& out)
{
    // A section without a format still shows its message.
    return formatter_ ? formatter_->format(out, format_ ? format_ : L"%m", record_) : false;
}

}  // namespace LogUtils
