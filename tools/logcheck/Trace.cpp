// logcheck trace: how the log manager routes one record, section by section,
// decided by the product's own evaluator and rendered by its formatter.

#include "LogCheck.h"

#include "ConditionGrammar.h"
#include "ConfigFileWatch.h"
#include "DefaultLogConfiguration.h"
#include "IniConfiguration.h"
#include "LogFileSink.h"
#include "LogManager.h"
#include "SyslogSink.h"

namespace logcheck {

namespace {

struct SectionTrace {
    std::wstring name;
    bool passed = false;     // condition and filter let it through
    bool taken = false;      // passed, and has somewhere to write
    std::wstring decision;   // why it takes or leaves the record
    std::wstring line;       // what its sink writes
    std::wstring where;      // in words
    JsonObject destination;  // the same for scripts
};

std::wstring operandText(const ConditionOperand& operand)
{
    if (operand.property.empty())
        return quote(operand.value);
    return L"<" + operand.property + L">" +
           (operand.isSet ? L" (" + quote(operand.value) + L")" : L" (not set)");
}

using LogUtils::SectionOutcome;

// Puts the routing's decision for each section into words; the decisions
// themselves are the routing's own (RoutedSection::decide).
class Tracer {
public:
    Tracer(LogRecord& record, LookupableW& properties) : record_(record), properties_(properties) {}

    std::vector<SectionTrace> run(LogConfigurationW& configuration,
                                  const std::vector<std::wstring>& names)
    {
        const LogUtils::CompiledRouting routing(configuration, properties_);
        std::vector<SectionTrace> sections;
        for (const LogUtils::RoutedSection& section : routing.sections()) {
            const std::size_t index = sections.size();
            sections.push_back(render(index < names.size() ? names[index] : number(index), section));
        }
        return sections;
    }

private:
    SectionTrace render(const std::wstring& name, const LogUtils::RoutedSection& section)
    {
        SectionTrace result;
        result.name = name;
        const LogUtils::FilterPattern* deciding = nullptr;
        const SectionOutcome outcome = section.decide(record_, &deciding);
        switch (outcome) {
        case SectionOutcome::disabled:
            result.decision = L"disabled by \"enabled=" + section.enabled + L"\"";
            return result;
        case SectionOutcome::noType:
            result.decision = L"no \"type\": skipped";
            return result;
        case SectionOutcome::conditionFalse:
            result.decision = L"condition false: " + explainCondition(section);
            return result;
        default:
            break;
        }
        result.decision =
            (section.hasCondition ? L"condition true: " + explainCondition(section) + L"; " : L"") +
            explainFilter(section, outcome, deciding);
        if (outcome == SectionOutcome::filtered)
            return result;

        std::string line;
        ATLString_OStream out(line);
        LogUtils::LogManagerImpl::Streamer(section.hasFormat ? section.format.c_str() : nullptr,
                                           &LogUtils::logFormatter(), record_)
            .stream(out);
        result.passed = true;
        result.line = widen(line.c_str());
        result.taken = destination(section, outcome, line.size(), result);
        return result;
    }

    std::wstring explainCondition(const LogUtils::RoutedSection& section)
    {
        const ConditionAnalysis analysis =
            analyzeConditionText(section.condition.c_str(), &properties_);
        if (analysis.tooDeep)
            return L"nested too deep to be evaluated";
        if (!analysis.parsed)
            return L"does not parse (it stops at " + parseStop(section.condition.c_str(), analysis.stop) +
                   L")";
        std::wstring text;
        for (const ConditionComparison& comparison : analysis.comparisons)
            text += (text.empty() ? L"" : L", ") + operandText(comparison.left) + L" == " +
                    operandText(comparison.right) + (comparison.equal ? L" is true" : L" is false");
        return text.empty() ? quote(section.condition) : text;
    }

    static std::wstring explainFilter(const LogUtils::RoutedSection& section, SectionOutcome outcome,
                                      const LogUtils::FilterPattern* deciding)
    {
        if (!section.filter.present())
            return L"no filter";
        const std::wstring filter = quote(section.filter.text());
        if (!deciding)
            return L"filter " + filter + L": no pattern admits it";
        return L"filter " + filter +
               (outcome == SectionOutcome::filtered ? L" excludes it by " : L" admits it by ") +
               quote(deciding->token);
    }

    bool destination(const LogUtils::RoutedSection& section, SectionOutcome outcome,
                     std::size_t lineSize, SectionTrace& result)
    {
        if (!section.sink) {
            result.destination.text(L"kind", L"none");
            result.where = L"type " + quote(section.type) + L" writes nothing";
            return false;
        }
        const LogUtils::SinkSettings& settings = section.settings;
        switch (section.sink->kind) {
        case LogUtils::SinkKind::file: {
            result.destination.text(L"kind", L"file");
            if (outcome == SectionOutcome::noDestination) {
                result.where = L"no file: \"filename\" or \"logdir\" is missing or too long, or "
                               L"\"writedelay\" is refused";
                return false;
            }
            const std::wstring& path = settings.path;
            const DWORD limit = settings.maximumSize;
            WIN32_FILE_ATTRIBUTE_DATA data;
            ULONGLONG size = 0;
            if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
                size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            // The sink ends the line with CR LF before it measures the file.
            const bool rotates = LogUtils::LogFileSink::isOverLimit(size + lineSize + 2, limit);
            const DWORD delay = settings.writeDelay;
            result.where = L"file " + path + L" (" + number(size) + L" bytes, limit " +
                           number(limit) +
                           (rotates ? L"; this line makes it rotate)" : L"; no rotation)") +
                           (delay ? L", written by a background writer within " + number(delay) +
                                        L" ms"
                                  : L"");
            result.destination.text(L"path", path)
                .field(L"size", number(size))
                .field(L"limit", number(limit))
                .field(L"writedelay", number(delay))
                .flag(L"rotates", rotates);
            return true;
        }
        case LogUtils::SinkKind::syslog: {
            const LogUtils::StreamDestination& syslog = settings.syslog;
            const std::wstring& server = syslog.server;
            const std::wstring transport = LogUtils::syslogTransportName(syslog.transport);
            result.destination.text(L"kind", L"syslog")
                .text(L"server", server)
                .field(L"port", number(syslog.port))
                .text(L"transport", transport)
                .text(L"message",
                      syslog.format == LogUtils::SyslogFormat::rfc5424 ? L"rfc5424" : L"bsd");
            if (outcome == SectionOutcome::noDestination) {
                result.where = L"syslog: a \"transport\", \"message\" or \"queue\" value is refused, "
                               L"nothing is sent";
                return false;
            }
            const LogUtils::SyslogTarget target =
                settings.hasServer ? LogUtils::syslogTarget(narrow(server.c_str()).c_str())
                                   : LogUtils::SyslogTarget::none;
            if (syslog.transport != LogUtils::SyslogTransport::udp ||
                target == LogUtils::SyslogTarget::name) {
                if (!settings.hasServer) {
                    result.where = L"syslog: no server, nothing is sent";
                    return false;
                }
                result.destination.field(L"queue", number(syslog.queueBytes));
                result.where = L"syslog " + transport + L" " + server + L":" + number(syslog.port) +
                               L", queued (bound " + number(syslog.queueBytes) +
                               L" bytes) and sent by a background sender";
                return true;
            }
            if (target == LogUtils::SyslogTarget::none) {
                result.where = L"syslog: no server, nothing is sent";
                return false;
            }
            result.where = L"syslog " + server + L":" + number(syslog.port);
            return true;
        }
        case LogUtils::SinkKind::debugger:
            result.destination.text(L"kind", L"debugger");
            result.where = L"debugger output";
            return true;
        }
        return false;
    }

    LogRecord& record_;
    LookupableW& properties_;
};

std::vector<std::wstring> builtInSectionNames()
{
    std::vector<std::wstring> names;
    for (const auto& section : defaultLogConfiguration().sections)
        names.push_back(number(section.first));
    return names;
}

}  // namespace

int trace(const TraceRequest& request)
{
    LogUtils::PropertyMap propertyMap = currentProperties();
    for (const auto& change : request.overrides) {
        auto entry = propertyMap.begin();
        while (entry != propertyMap.end() &&
               !equalIgnoringCase(entry->first.c_str(), change.first.c_str()))
            ++entry;
        if (entry == propertyMap.end())
            return fail(L"the log properties hold no " + change.first);
        entry->second = change.second;
    }
    LogUtils::LogPropertiesOnMapImpl properties(&propertyMap);
    if (!request.iniPath.empty() && !isReadableFile(request.iniPath))
        return fail(L"cannot read " + request.iniPath);

    LogRecord record("logcheck", 0, request.level, request.component.c_str(), defaultLogManager());
    record.message = request.message.c_str();
    Tracer tracer(record, properties);

    // The manager's own gate, ahead of every section, and its choice of
    // configuration unless one is named.
    const bool dropped = record.level == LevelDebug && LogUtils::dropsTraces(properties);
    std::wstring configuration = request.iniPath;
    if (configuration.empty() && !request.builtIn && manager().routesWithConfigurationFile())
        configuration = configurationFilePath();
    std::vector<SectionTrace> sections;
    if (configuration.empty()) {
        configuration = L"built-in table";
        sections = tracer.run(defaultLogConfiguration(), builtInSectionNames());
    } else {
        IniFileConfiguration file(configuration.c_str());
        std::vector<std::wstring> names;
        for (const IniFileConfiguration::Section& section : file.sections())
            names.push_back(section.name);
        sections = tracer.run(file, names);
    }

    bool delivered = false;
    for (const SectionTrace& section : sections)
        delivered = delivered || section.taken;
    delivered = delivered && !dropped;
    if (request.write)
        manager().log(record);

    const std::wstring levelName = widen(logLevelNames[record.level]);
    if (request.json) {
        JsonObject props;
        for (const auto& entry : propertyMap)
            props.text(entry.first.c_str(), entry.second);
        std::vector<std::wstring> sectionJson;
        for (const SectionTrace& section : sections) {
            JsonObject object;
            object.text(L"name", section.name)
                .flag(L"taken", section.taken)
                .text(L"decision", section.decision);
            if (section.passed)
                object.text(L"line", section.line)
                    .text(L"where", section.where)
                    .field(L"destination", section.destination.str());
            sectionJson.push_back(object.str());
        }
        print(JsonObject()
                  .field(L"record", JsonObject()
                                        .text(L"component", widen(record.component))
                                        .field(L"level", number(record.level))
                                        .text(L"message", request.message)
                                        .str())
                  .field(L"properties", props.str())
                  .text(L"configuration", configuration)
                  .flag(L"dropped", dropped)
                  .field(L"sections", jsonArray(sectionJson))
                  .flag(L"delivered", delivered)
                  .flag(L"written", request.write)
                  .str() +
              L"\n");
    } else {
        std::wstring text = L"record: component " + widen(record.component) + L", level " +
                            number(record.level) + L" (" + levelName + L"), message " +
                            quote(request.message) + L"\nproperties:";
        for (const auto& entry : propertyMap)
            text += L" " + entry.first + L"=" + entry.second;
        text += L"\nconfiguration: " + configuration + L"\n";
        if (dropped)
            text +=
                L"dropped: the manager drops Debug records while debugEnable is 0; no section sees "
                L"it\n";
        for (const SectionTrace& section : sections) {
            text += L"[" + section.name + L"] " + (dropped ? L"(not reached) " : L"") +
                    (section.taken    ? L"takes it: "
                     : section.passed ? L"takes it, writes nothing: "
                                      : L"leaves it: ") +
                    section.decision + L"\n";
            if (section.passed)
                text += L"    line: " + section.line + L"\n    to:   " + section.where + L"\n";
        }
        text += delivered ? L"delivered\n" : L"delivered nowhere\n";
        if (request.write)
            text += L"written through the log manager\n";
        print(text);
    }
    return delivered ? exitClean : exitFound;
}

}  // namespace logcheck
