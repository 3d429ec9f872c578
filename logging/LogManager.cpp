#include "LogManager.h"

#include "SinkTypes.h"

#include <exception>

namespace LogUtils {

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
    SinkSettings settings;
    if (const SinkType* sink = findSinkType(type)) {
        if (sink->readSettings(section, properties, settings))
            sink->write(settings, record, streamer);
    }
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
        compiled.sink = findSinkType(type);
        if (!compiled.sink)
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
        if (!compiled.sink->readSettings(section, properties_, compiled.settings))
            return false;
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
        section.sink->write(section.settings, record, streamer);
    }
}

bool LogManagerImpl::Streamer::stream(OStream<char>& out)
{
    // A section without a format still shows its message.
    return formatter_ ? formatter_->format(out, format_ ? format_ : L"%m", record_) : false;
}

}  // namespace LogUtils
