// logcheck lint: what every section of a configuration file does, and what
// in it keeps records from where they were meant to go.

#include "LogCheck.h"

#include "ConditionGrammar.h"
#include "IniConfiguration.h"
#include "SinkTypes.h"
#include "SyslogSink.h"

#include <cwchar>

namespace logcheck {

namespace {

struct Problem {
    std::wstring section;
    std::wstring message;
};

// A number as written against the value the product reads from it: the
// product stops at the first non-digit and wraps, silently.
std::wstring numberProblem(const wchar_t* key, const wchar_t* text, unsigned long long used)
{
    const wchar_t* at = text;
    while (*at == L' ' || *at == L'\t')
        ++at;
    const bool negative = *at == L'-';
    if (*at == L'-' || *at == L'+')
        ++at;
    const wchar_t* digits = at;
    unsigned long long exact = 0;
    bool huge = false;
    for (; *at >= L'0' && *at <= L'9'; ++at) {
        huge = huge || exact > 100000000000000000ull;
        exact = exact * 10 + static_cast<unsigned>(*at - L'0');
    }
    const std::wstring head = quote(key) + L" value " + quote(text);
    if (at == digits || *at)
        return head + L" is not a number: it counts as " + number(used);
    if ((negative && exact != 0) || huge || exact != used)
        return head + L" is cut to " + number(used);
    return L"";
}

class SectionLint {
public:
    SectionLint(IniFileConfiguration::Section& section, LookupableW& properties,
                const std::wstring& propertyNames)
        : section_(section),
          wrapper_(&section_),
          properties_(properties),
          propertyNames_(propertyNames)
    {
    }

    // The line that says what the section does; problems are added as found.
    std::wstring run(std::vector<std::wstring>& problems)
    {
        problems_ = &problems;
        checkKeys();
        const wchar_t* type = get(L"type");
        std::wstring does = destination(type);
        const wchar_t* enabled = get(L"enabled");
        if (!wrapper_.isEnabled()) {
            does = L"disabled; " + does;
            add(L"disabled by \"enabled=" + std::wstring(enabled) + L"\"");
        } else if (enabled && !equalIgnoringCase(enabled, L"1") &&
                   !equalIgnoringCase(enabled, L"true")) {
            add(L"\"enabled=" + std::wstring(enabled) +
                L"\" leaves the section enabled: only 0 and false disable it");
        }
        if (const wchar_t* condition = get(L"condition"))
            does += L"; when " + std::wstring(condition);
        checkCondition();
        does += L"; " + checkFilter();
        return does;
    }

private:
    const wchar_t* get(const wchar_t* key) { return wrapper_.getProperty(key); }
    void add(const std::wstring& message) { problems_->push_back(message); }

    void checkKeys()
    {
        const auto& entries = section_.entries;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::wstring& key = entries[i].first;
            if (!LogUtils::isSectionKey(key.c_str()))
                add(L"key " + quote(key) + L" is read by no section type");
            for (std::size_t j = 0; j < i; ++j) {
                if (lstrcmpiW(entries[j].first.c_str(), key.c_str()) == 0) {
                    add(L"key " + quote(key) + L" is given twice: the first (" +
                        quote(entries[j].second) + L") wins");
                    break;
                }
            }
        }
    }

    std::wstring destination(const wchar_t* type)
    {
        if (!type) {
            add(L"no \"type\": the section is skipped");
            return L"no type, skipped";
        }
        if (const LogUtils::SinkType* sink = LogUtils::findSinkType(type)) {
            LogUtils::SinkSettings settings;
            switch (sink->kind) {
            case LogUtils::SinkKind::file:
                return fileDestination(*sink, settings);
            case LogUtils::SinkKind::syslog:
                sink->readSettings(wrapper_, properties_, settings);
                return syslogDestination(settings);
            case LogUtils::SinkKind::debugger:
                return L"debugger output";
            }
        }
        add(L"unknown type " + quote(type) + L": the section writes nothing");
        return L"type " + quote(type) + L", writes nothing";
    }

    std::wstring fileDestination(const LogUtils::SinkType& sink, LogUtils::SinkSettings& settings)
    {
        const wchar_t* fileName = get(L"filename");
        if (!fileName) {
            add(L"file section without \"filename\": it writes nothing");
            return L"file without a name, writes nothing";
        }
        if (const wchar_t* maximum = get(L"maxsize")) {
            const std::wstring problem =
                numberProblem(L"maxsize", maximum, LogUtils::parseSectionNumber(maximum));
            if (!problem.empty())
                add(problem);
        }
        wchar_t expanded[MAX_PATH];
        const wchar_t* problem = LogUtils::logFileNameProblem(fileName);
        if (!problem && LogUtils::expandLogFileName(fileName, properties_, expanded))
            problem = LogUtils::logFileNameProblem(expanded);
        if (problem) {
            add(L"file name " + quote(fileName) + L" " + problem +
                L": it writes nothing, the log files stay in the log folder");
            return L"file " + quote(fileName) + L", writes nothing";
        }
        DWORD delay = 0;
        std::wstring refused;
        if (!LogUtils::readWriteDelay(get(L"writedelay"), delay, refused)) {
            add(refused + L": the section writes nothing");
            return L"file " + quote(fileName) + L", writes nothing";
        }
        if (!sink.readSettings(wrapper_, properties_, settings)) {
            add(L"file name " + quote(fileName) +
                L" makes no path of 259 characters or less: it writes nothing");
            return L"file " + quote(fileName) + L", writes nothing";
        }
        return L"file " + quote(fileName) + L" (now " + settings.path + L"), rotated above " +
               number(settings.maximumSize) + L" bytes" +
               (delay ? L", written in the background within " + number(delay) + L" ms" : L"");
    }

    std::wstring syslogDestination(const LogUtils::SinkSettings& settings)
    {
        const LogUtils::StreamDestination& syslog = settings.syslog;
        const std::wstring port = number(syslog.port);
        if (const wchar_t* portText = get(L"port")) {
            const auto used = static_cast<std::uint16_t>(LogUtils::parseSectionNumber(portText));
            const std::wstring problem = numberProblem(L"port", portText, used);
            if (!problem.empty())
                add(problem + (used ? L"" : L" (the sink then uses " + port + L")"));
        }
        LogUtils::StreamDestination choices;
        std::wstring refused;
        if (!LogUtils::readSyslogChoices(get(L"transport"), get(L"message"), get(L"queue"), choices,
                                         refused)) {
            add(refused + L": the section sends nothing");
            return L"syslog, sends nothing";
        }
        const bool stream = syslog.transport != LogUtils::SyslogTransport::udp;
        const std::wstring how = std::wstring(LogUtils::syslogTransportName(syslog.transport)) +
                                 (syslog.format == LogUtils::SyslogFormat::rfc5424 ? L" rfc5424"
                                                                                   : L" bsd");
        const wchar_t* server = get(L"server");
        if (!server) {
            add(L"syslog section without \"server\": nothing is sent");
            return L"syslog without a server, sends nothing";
        }
        const LogUtils::SyslogTarget target = LogUtils::syslogTarget(narrow(server).c_str());
        if (!stream && target == LogUtils::SyslogTarget::none) {
            add(L"server " + quote(server) + L" names no collector: nothing is sent");
            return L"syslog to " + quote(server) + L", sends nothing";
        }
        // A host name's datagrams wait for a sender that looks it up.
        const bool queued = stream || target == LogUtils::SyslogTarget::name;
        const bool tls = syslog.transport == LogUtils::SyslogTransport::tls ||
                         syslog.transport == LogUtils::SyslogTransport::relpTls;
        for (const wchar_t* tlsOnly : {L"ca", L"servername"}) {
            if (get(tlsOnly) && !tls)
                add(L"key " + quote(tlsOnly) + L" is read only by the tls and relp-tls transports");
        }
        // The datagram section reads as it always has.
        const bool plain = !stream && syslog.format == LogUtils::SyslogFormat::bsd;
        return L"syslog " + (plain ? L"" : how + L" ") + L"to " + std::wstring(server) + L":" +
               port + (queued ? L", queued (bound " + number(syslog.queueBytes) + L" bytes)" : L"");
    }

    void checkCondition()
    {
        const wchar_t* condition = get(L"condition");
        if (!condition)
            return;
        const ConditionAnalysis analysis = analyzeConditionText(condition, &properties_);
        if (analysis.tooDeep) {
            add(L"condition nests parentheses too deep: it is always false, the section takes no "
                L"record");
            return;
        }
        if (!analysis.parsed) {
            add(L"condition does not parse (it stops at " + parseStop(condition, analysis.stop) +
                L"): it is false, the section takes no record");
            return;
        }
        bool usesKnown = false;
        for (const std::wstring& name : analysis.propertyNames) {
            if (properties_.getProperty(name.c_str()))
                usesKnown = true;
            else
                add(L"condition refers to <" + name + L">, which the log properties never hold (" +
                    propertyNames_ + L"): it equals nothing");
        }
        if (!usesKnown && !analysis.value)
            add(L"condition is always false: the section takes no record");
    }

    std::wstring checkFilter()
    {
        const wchar_t* filter = get(L"filter");
        if (!filter)
            return L"every record";
        std::wstring words;
        bool canAdmit = false;
        const LogUtils::CompiledFilter compiled(filter);
        for (const LogUtils::FilterPattern& pattern : compiled.patterns()) {
            const std::wstring& token = pattern.token;
            words += (words.empty() ? L"" : L", ") + describePattern(pattern);
            if (!pattern.hasDot) {
                add(L"filter token " + quote(token) + L" has no dot: it matches nothing");
                continue;
            }
            canAdmit = canAdmit || !pattern.exclusion;
            if (levelNamed(narrow(pattern.levelPart()).c_str()) < 0)
                add(L"filter token " + quote(token) + L": " + quote(pattern.levelPart()) +
                    L" is no level name, so it counts as Debug");
        }
        if (!canAdmit)
            add(L"filter " + quote(filter) +
                L" has no pattern that admits a record: the section takes no record");
        return words.empty() ? L"no record" : words;
    }

    IniFileConfiguration::Section& section_;
    LogUtils::LogConfigurationSection wrapper_;
    LookupableW& properties_;
    const std::wstring& propertyNames_;
    std::vector<std::wstring>* problems_ = nullptr;
};

// Names the product's 512-character listing does not reach.
std::vector<std::wstring> unseenSections(const std::wstring& path, std::size_t seen)
{
    std::vector<wchar_t> names(32767);
    const DWORD length = GetPrivateProfileSectionNamesW(
        names.data(), static_cast<DWORD>(names.size()), path.c_str());
    std::vector<std::wstring> all;
    for (DWORD at = 0; at < length && names[at];) {
        all.emplace_back(names.data() + at);
        at += static_cast<DWORD>(all.back().size()) + 1;
    }
    return all.size() > seen
               ? std::vector<std::wstring>(all.begin() + static_cast<long>(seen), all.end())
               : std::vector<std::wstring>();
}

}  // namespace

int lint(const std::wstring& path, bool json)
{
    if (!isReadableFile(path))
        return fail(L"cannot read " + path);
    LogUtils::PropertyMap propertyMap = currentProperties();
    LogUtils::LogPropertiesOnMapImpl properties(&propertyMap);
    std::wstring propertyNames;
    for (const auto& entry : propertyMap)
        propertyNames += (propertyNames.empty() ? L"" : L", ") + entry.first;

    std::vector<std::wstring> sectionLines, sectionJson;
    std::vector<Problem> problems;
    IniFileConfiguration file(path.c_str());
    for (IniFileConfiguration::Section section : file.sections()) {
        std::vector<std::wstring> found;
        const std::wstring does = SectionLint(section, properties, propertyNames).run(found);
        sectionLines.push_back(L"[" + section.name + L"] " + does + L"\n");
        sectionJson.push_back(JsonObject().text(L"name", section.name).text(L"does", does).str());
        for (const std::wstring& message : found)
            problems.push_back({section.name, message});
    }
    for (const std::wstring& name : unseenSections(path, file.sections().size()))
        problems.push_back({name, L"section is never read: all section names together exceed " +
                                      number(IniFileConfiguration::namesCapacity) +
                                      L" characters"});
    if (file.sections().empty())
        problems.push_back({L"", L"no sections: nothing is logged through this file"});

    if (json) {
        std::vector<std::wstring> problemJson;
        for (const Problem& problem : problems)
            problemJson.push_back(JsonObject()
                                      .text(L"section", problem.section)
                                      .text(L"message", problem.message)
                                      .str());
        print(JsonObject()
                  .text(L"file", path)
                  .field(L"sections", jsonArray(sectionJson))
                  .field(L"problems", jsonArray(problemJson))
                  .str() +
              L"\n");
    } else {
        for (const std::wstring& line : sectionLines)
            print(line);
        for (const Problem& problem : problems)
            print(path + L":" + problem.section + L": " + problem.message + L"\n");
        print(problems.empty() ? L"no problems\n" : number(problems.size()) + L" problem(s)\n");
    }
    return problems.empty() ? exitClean : exitFound;
}

}  // namespace logcheck
