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

#include <memory>

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

class Tracer {
public:
    Tracer(LogRecord& record, LookupableW& properties) : record_(record), properties_(properties) {}

    SectionTrace run(const std::wstring& name, LookupableW& lookup)
    {
        SectionTrace result;
        result.name = name;
        LogUtils::LogConfigurationSection section(&lookup);
        const wchar_t* type = section.getProperty(L"type");
        if (!section.isEnabled()) {
            result.decision =
                L"disabled by \"enabled=" + std::wstring(section.getProperty(L"enabled")) + L"\"";
            return result;
        }
        if (!type) {
            result.decision = L"no \"type\": skipped";
            return result;
        }
        LogUtils::IFilterEvaluator& evaluator = *manager().getFilterEvaluator();
        const wchar_t* condition = section.getProperty(L"condition");
        if (!evaluator.evaluateCondition(condition, record_, &properties_)) {
            result.decision = L"condition false: " + explainCondition(condition);
            return result;
        }
        const wchar_t* filter = section.getProperty(L"filter");
        const bool admitted = evaluator.evaluateFilter(filter, record_, &properties_);
        result.decision =
            (condition ? L"condition true: " + explainCondition(condition) + L"; " : L"") +
            explainFilter(filter, admitted);
        if (!admitted)
            return result;

        std::string line;
        ATLString_OStream out(line);
        LogUtils::LogManagerImpl::Streamer(section.getProperty(L"format"), manager().getFormatter(),
                                           record_)
            .stream(out);
        result.passed = true;
        result.line = widen(line.c_str());
        result.taken = destination(type, section, line.size(), result);
        return result;
    }

private:
    std::wstring explainCondition(const wchar_t* condition)
    {
        const ConditionAnalysis analysis = analyzeConditionText(condition, &properties_);
        if (analysis.tooDeep)
            return L"nested too deep to be evaluated";
        if (!analysis.parsed)
            return L"does not parse (it stops at " + parseStop(condition, analysis.stop) + L")";
        std::wstring text;
        for (const ConditionComparison& comparison : analysis.comparisons)
            text += (text.empty() ? L"" : L", ") + operandText(comparison.left) + L" == " +
                    operandText(comparison.right) + (comparison.equal ? L" is true" : L" is false");
        return text.empty() ? quote(condition) : text;
    }

    std::wstring explainFilter(const wchar_t* filter, bool admitted)
    {
        if (!filter)
            return L"no filter";
        const std::vector<std::wstring> tokens = filterTokens(filter);
        for (const std::wstring& token : tokens) {
            const bool exclusion = token[0] == L'~';
            if (exclusion != admitted &&
                patternMatches(exclusion ? token.substr(1) : token, record_))
                return L"filter " + quote(filter) +
                       (admitted ? L" admits it by " : L" excludes it by ") + quote(token);
        }
        return L"filter " + quote(filter) + L": no pattern matches";
    }

    bool destination(const wchar_t* type, LogUtils::LogConfigurationSection& section,
                     std::size_t lineSize, SectionTrace& result)
    {
        if (equalIgnoringCase(type, L"file")) {
            wchar_t path[MAX_PATH];
            DWORD limit = 0;
            result.destination.text(L"kind", L"file");
            if (!LogUtils::fileSinkTarget(section, properties_, path, limit)) {
                result.where = L"no file: \"filename\" or \"logdir\" is missing or too long";
                return false;
            }
            WIN32_FILE_ATTRIBUTE_DATA data;
            ULONGLONG size = 0;
            if (GetFileAttributesExW(path, GetFileExInfoStandard, &data))
                size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            // The sink ends the line with CR LF before it measures the file.
            const bool rotates = LogUtils::LogFileSink::isOverLimit(size + lineSize + 2, limit);
            result.where = L"file " + std::wstring(path) + L" (" + number(size) +
                           L" bytes, limit " + number(limit) +
                           (rotates ? L"; this line makes it rotate)" : L"; no rotation)");
            result.destination.text(L"path", path)
                .field(L"size", number(size))
                .field(L"limit", number(limit))
                .flag(L"rotates", rotates);
            return true;
        }
        if (equalIgnoringCase(type, L"syslog")) {
            const wchar_t* portText = section.getProperty(L"port");
            std::uint16_t port =
                portText ? static_cast<std::uint16_t>(LogUtils::parseSectionNumber(portText)) : 0;
            port = port ? port : LogUtils::SyslogSink::defaultPort;
            const wchar_t* server = section.getProperty(L"server");
            result.destination.text(L"kind", L"syslog")
                .text(L"server", server ? server : L"")
                .field(L"port", number(port));
            if (!server || inet_addr(narrow(server).c_str()) == INADDR_NONE) {
                result.where = L"syslog: no dotted IPv4 server, nothing is sent";
                return false;
            }
            result.where = L"syslog " + std::wstring(server) + L":" + number(port);
            return true;
        }
        if (equalIgnoringCase(type, L"outputdebugstring")) {
            result.destination.text(L"kind", L"debugger");
            result.where = L"debugger output";
            return true;
        }
        result.destination.text(L"kind", L"none");
        result.where = L"type " + quote(type) + L" writes nothing";
        return false;
    }

    LogRecord& record_;
    LookupableW& properties_;
};

// Traces every section of one configuration, naming sections by the file's
// names or by their place in the built-in table.
struct Walk : LogConfigurationW::ActionType {
    Walk(Tracer& tracer, std::vector<std::wstring> names)
        : tracer_(tracer), names_(std::move(names))
    {
    }
    bool operator()(LookupableW& section) override
    {
        const std::size_t index = sections.size();
        sections.push_back(
            tracer_.run(index < names_.size() ? names_[index] : number(index), section));
        return false;
    }
    Tracer& tracer_;
    std::vector<std::wstring> names_;
    std::vector<SectionTrace> sections;
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
        walk.reset(new Walk(
            tracer_, builtIn ? std::vector<std::wstring>() : sectionNames(defaultIniPath())));
        return configuration.firstThat(*walk);
    }
    bool builtIn = false;
    std::unique_ptr<Walk> walk;

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
    const bool dropped = record.level == LevelDebug &&
                         equalIgnoringCase(properties.getProperty(L"debugEnable"), L"0");
    if (!request.iniPath.empty()) {
        configuration = request.iniPath;
        IniFileConfiguration file(request.iniPath.c_str());
        IniFileConfiguration::Values values(&file);
        Walk walk(tracer, sectionNames(request.iniPath));
        values.firstThat(walk);
        sections = walk.sections;
    } else if (request.builtIn) {
        configuration = L"built-in table";
        Walk walk(tracer, {});
        defaultLogConfiguration().firstThat(walk);
        sections = walk.sections;
    } else {
        Chooser chooser(record, properties, tracer);
        manager().forEachConfiguration(chooser);
        configuration = chooser.builtIn ? L"built-in table" : defaultIniPath();
        if (chooser.walk)
            sections = chooser.walk->sections;
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
