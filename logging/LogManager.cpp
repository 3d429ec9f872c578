#include "LogManager.h"

#include "ConditionGrammar.h"

#include <exception>

namespace LogUtils {

bool dropsTraces(LookupableW& properties)
{
    const wchar_t* debug = properties.getProperty(L"debugEnable");
    return debug && _wcsicmp(debug, L"0") == 0;
}

namespace {

std::wstring textOf(const wchar_t* value, bool& present)
{
    present = value != nullptr;
    return value ? value : L"";
}

RoutedSection readSection(LookupableW& lookup, LookupableW& properties, const LogFolders* folders)
{
    LogConfigurationSection section(&lookup);
    RoutedSection routed;
    if (!section.isEnabled()) {
        routed.outcome = SectionOutcome::disabled;
        routed.enabled = section.getProperty(L"enabled");
        return routed;
    }
    const wchar_t* type = section.getProperty(L"type");
    if (!type) {
        routed.outcome = SectionOutcome::noType;
        return routed;
    }
    routed.type = type;
    const wchar_t* condition = section.getProperty(L"condition");
    routed.condition = textOf(condition, routed.hasCondition);
    routed.format = textOf(section.getProperty(L"format"), routed.hasFormat);
    routed.filter = CompiledFilter(section.getProperty(L"filter"));
    routed.sink = findSinkType(type);
    try {
        if (!evaluateConditionText(condition, &properties)) {
            routed.outcome = SectionOutcome::conditionFalse;
            return routed;
        }
    } catch (const std::exception&) {
        // The section counts as passed rather than lose what it should log.
        routed.filter = CompiledFilter();
    }
    if (!routed.sink)
        routed.outcome = SectionOutcome::unknownType;
    else if (!routed.sink->readSettings(section, properties, routed.settings))
        routed.outcome = SectionOutcome::noDestination;
    else if (routed.sink->kind == SinkKind::file)
        routed.settings.folders = folders;
    return routed;
}

}  // namespace

SectionOutcome RoutedSection::decide(const LogRecord& record, const FilterPattern** deciding) const
{
    if (deciding)
        *deciding = nullptr;
    if (outcome != SectionOutcome::taken)
        return outcome;
    try {
        if (!filter.admits(record, deciding))
            return SectionOutcome::filtered;
    } catch (const std::exception&) {
        // A filter that ran out of memory lets the record through rather
        // than lose it.
    }
    return SectionOutcome::taken;
}

CompiledRouting::CompiledRouting(LogConfigurationW& configuration, LookupableW& properties,
                                 const LogFolders* folders)
{
    class Reader : public LogConfigurationW::ActionType {
    public:
        Reader(std::vector<RoutedSection>& sections, LookupableW& properties,
               const LogFolders* folders)
            : sections_(sections), properties_(properties), folders_(folders)
        {
        }
        bool operator()(LookupableW& section) override
        {
            sections_.push_back(readSection(section, properties_, folders_));
            return false;
        }

    private:
        std::vector<RoutedSection>& sections_;
        LookupableW& properties_;
        const LogFolders* folders_;
    } reader(sections_, properties, folders);
    configuration.firstThat(reader);
}

void CompiledRouting::route(LogRecord& record) const
{
    for (const RoutedSection& section : sections_) {
        if (section.decide(record) != SectionOutcome::taken)
            continue;
        LogManagerImpl::Streamer streamer(section.hasFormat ? section.format.c_str() : nullptr,
                                          &logFormatter(), record);
        section.sink->write(section.settings, record, streamer);
    }
}

bool LogManagerImpl::Streamer::stream(OStream<char>& out)
{
    // A section without a format still shows its message.
    return formatter_ ? formatter_->format(out, format_ ? format_ : L"%m", record_) : false;
}

}  // namespace LogUtils
