// logcheck trace: how the log manager routes one record, section by section,
// decided by the product's own evaluator and rendered by its formatter.

#include "LogCheck.h"

#include "ConditionGrammar.h"
#include "DefaultLogConfiguration.h"
#include "IniConfiguration.h"
#include "LogFileSink.h"
#include "LogManager.h"
#include "SyslogSink.h"

#include <winsock.h>

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

using Outcome = LogUtils::SectionDecision::Outcome;

// Puts the routing's decision for each section of one configuration into
// words; the decisions themselves are the routing's (CompiledRouting::explain).
class Tracer {
public:
    Tracer(LogRecord& record, LookupableW& properties) : record_(record), properties_(properties) {}

    std::vector<SectionTrace> run(LogConfigurationW& configuration,
                                  const std::vector<std::wstring>& names)
    {
        const LogUtils::CompiledRouting routing(configuration, properties_,
                                                manager().getFilterEvaluator());
        std::vector<SectionTrace> sections;
        for (const LogUtils::SectionDecision& decision : routing.explain(record_, properties_)) {
            const std::size_t index = sections.size();
            sections.push_back(render(index < names.size() ? names[index] : number(index), decision));
        }
        return sections;
    }

private:
    SectionTrace render(const std::wstring& name, const LogUtils::SectionDecision& decision)
    {
        SectionTrace result;
        result.name = name;
        switch (decision.outcome) {
        case Outcome::disabled:
            result.decision = L"disabled by \"enabled=" + decision.enabled + L"\"";
            return result;
        case Outcome::noType:
            result.decision = L"no \"type\": skipped";
            return result;
        case Outcome::conditionFalse:
            result.decision = L"condition false: " + explainCondition(decision);
            return result;
        default:
            break;
        }
        result.decision =
            (decision.hasCondition ? L"condition true: " + explainCondition(decision) + L"; "
                                   : L"") +
            explainFilter(decision);
        if (decision.outcome == Outcome::filtered)
            return result;

        std::string line;
        ATLString_OStream out(line);
        LogUtils::LogManagerImpl::Streamer(decision.hasFormat ? decision.format.c_str() : nullptr,
                                           manager().getFormatter(), record_)
            .stream(out);
        result.passed = true;
        result.line = widen(line.c_str());
        result.taken = destination(decision, line.size(), result);
        return result;
    }

    std::wstring explainCondition(const LogUtils::SectionDecision& decision)
    {
        const ConditionAnalysis& analysis = decision.conditionAnalysis;
        if (analysis.tooDeep)
            return L"nested too deep to be evaluated";
        if (!analysis.parsed)
            return L"does not parse (it stops at " +
                   parseStop(decision.condition.c_str(), analysis.stop) + L")";
        std::wstring text;
        for (const ConditionComparison& comparison : analysis.comparisons)
            text += (text.empty() ? L"" : L", ") + operandText(comparison.left) + L" == " +
                    operandText(comparison.right) + (comparison.equal ? L" is true" : L" is false");
        return text.empty() ? quote(decision.condition.c_str()) : text;
    }

    std::wstring explainFilter(const LogUtils::SectionDecision& decision)
    {
        if (!decision.hasFilter)
            return L"no filter";
        const std::wstring filter = quote(decision.filter.c_str());
        if (decision.decidingPattern.empty())
            return L"filter " + filter + L": no pattern matches";
        return L"filter " + filter + (decision.admitted ? L" admits it by " : L" excludes it by ") +
               quote(decision.decidingPattern.c_str());
    }

    bool destination(const LogUtils::SectionDecision& decision, std::size_t lineSize,
                     SectionTrace& result)
    {
        if (!decision.sink) {
            result.destination.text(L"kind", L"none");
            result.where = L"type " + quote(decision.type.c_str()) + L" writes nothing";
            return false;
        }
        const LogUtils::SinkSettings& settings = decision.settings;
        switch (decision.sink->kind) {
        case LogUtils::SinkKind::file: {
            result.destination.text(L"kind", L"file");
            if (decision.outcome == Outcome::noDestination) {
                result.where = L"no file: \"filename\" or \"logdir\" is missing or too long";
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
            result.where = L"file " + path + L" (" + number(size) + L" bytes, limit " +
                           number(limit) +
                           (rotates ? L"; this line makes it rotate)" : L"; no rotation)");
            result.destination.text(L"path", path)
                .field(L"size", number(size))
                .field(L"limit", number(limit))
                .flag(L"rotates", rotates);
            return true;
        }
        case LogUtils::SinkKind::syslog: {
            const std::uint16_t port =
                settings.port ? settings.port : LogUtils::SyslogSink::defaultPort;
            const std::wstring& server = settings.server;
            result.destination.text(L"kind", L"syslog")
                .text(L"server", server)
                .field(L"port", number(port));
            if (!settings.hasServer || inet_addr(narrow(server.c_str()).c_str()) == INADDR_NONE) {
                result.where = L"syslog: no dotted IPv4 server, nothing is sent";
                return false;
            }
            result.where = L"syslog " + server + L":" + number(port);
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

// The manager picks the configuration it would route this record through.
class Chooser : public LogUtils::LogManagerImpl::ConfigurationAction {
public:
    Chooser(LogRecord& record, LookupableW& properties, Tracer& tracer)
        : ConfigurationAction(manager(), record, properties), tracer_(tracer)
    {
    }
    bool operator()(LogConfigurationW& configuration) override
    {
        builtIn = &configuration == static_cast<LogConfigurationW*>(&defaultLogConfiguration());
        sections = tracer_.run(configuration, builtIn ? std::vector<std::wstring>()
                                                      : sectionNames(defaultIniPath()));
        return false;
    }
    bool builtIn = false;
    std::vector<SectionTrace> sections;

private:
    Tracer& tracer_;
};

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

    std::wstring configuration;
    std::vector<SectionTrace> sections;
    // The manager's own gate, ahead of every section.
    const bool dropped = record.level == LevelDebug && LogUtils::dropsTraces(properties);
    if (!request.iniPath.empty()) {
        configuration = request.iniPath;
        IniFileConfiguration file(request.iniPath.c_str());
        IniFileConfiguration::Values values(&file);
        sections = tracer.run(values, sectionNames(request.iniPath));
    } else if (request.builtIn) {
        configuration = L"built-in table";
        sections = tracer.run(defaultLogConfiguration(), {});
    } else {
        Chooser chooser(record, properties, tracer);
        manager().forEachConfiguration(chooser);
        configuration = chooser.builtIn ? L"built-in table" : defaultIniPath();
        sections = chooser.sections;
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
