#include "LogManager.h"

#include "SinkTypes.h"

#include <exception>

namespace LogUtils {

namespace {

using Outcome = SectionDecision::Outcome;

}  // namespace

bool dropsTraces(LookupableW& properties)
{
    const wchar_t* debug = properties.getProperty(L"debugEnable");
    return debug && _wcsicmp(debug, L"0") == 0;
}

bool LogManagerImpl::ConfigurationAction::operator()(LogConfigurationW& configuration)
{
    CompiledRouting(configuration, properties_, manager_.getFilterEvaluator())
        .route(record_, manager_, properties_);
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
        sections_.emplace_back();
        Section& compiled = sections_.back();
        if (!section.isEnabled()) {
            compiled.outcome = Outcome::disabled;
            compiled.enabled = section.getProperty(L"enabled");
            return false;
        }
        const wchar_t* type = section.getProperty(L"type");
        if (!type) {
            compiled.outcome = Outcome::noType;
            return false;
        }
        compiled.type = type;
        const wchar_t* condition = section.getProperty(L"condition");
        compiled.hasCondition = condition != nullptr;
        if (condition)
            compiled.condition = condition;
        const wchar_t* filter = section.getProperty(L"filter");
        compiled.hasFilter = filter != nullptr;
        if (filter)
            compiled.filter = filter;
        if (const wchar_t* format = section.getProperty(L"format")) {
            compiled.hasFormat = true;
            compiled.format = format;
        }

        if (evaluator_) {
            try {
                if (!evaluator_->evaluateCondition(condition, record_, &properties_))
                    compiled.outcome = Outcome::conditionFalse;
            } catch (const std::exception&) {
                // Asked again for every record, which then goes through
                // rather than is lost if it throws again.
                compiled.conditionPerRecord = true;
            }
            compiled.compiledFilter = CompiledFilter(filter);
        }
        compiled.sink = findSinkType(type);
        if (compiled.outcome != Outcome::taken)
            return false;
        if (!compiled.sink)
            compiled.outcome = Outcome::unknownType;
        else if (!compiled.sink->readSettings(section, properties_, compiled.settings))
            compiled.outcome = Outcome::noDestination;
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
    : evaluator_(evaluator)
{
    Builder builder(sections_, properties, evaluator);
    configuration.firstThat(builder);
}

void CompiledRouting::route(LogRecord& record, LogManagerImpl& manager,
                            LookupableW& properties) const
{
    for (const Section& section : sections_) {
        if (section.outcome != Outcome::taken)
            continue;
        try {
            // Set only with an evaluator, the one explain() asks.
            if (section.conditionPerRecord) {
                const wchar_t* condition =
                    section.hasCondition ? section.condition.c_str() : nullptr;
                if (!evaluator_->evaluateCondition(condition, record, &properties))
                    continue;
            }
            if (!section.compiledFilter.matches(record))
                continue;
        } catch (const std::exception&) {
            // An evaluation that ran out of memory lets the record through
            // rather than lose it.
        }
        LogManagerImpl::Streamer streamer(section.hasFormat ? section.format.c_str() : nullptr,
                                          manager.getFormatter(), record);
        section.sink->write(section.settings, record, streamer);
    }
}

bool LogManagerImpl::Streamer::stream(OStream<char>& out)
{
    // A section without a format still shows its message.
    return formatter_ ? formatter_->format(out, format_ ? format_ : L"%m", record_) : false;
}

}  // namespace LogUtils
