#pragma once
// The routing engine: applies every section of the configuration in force to
// one record and builds the section's sink for that record alone.

#include "FilterEvaluator.h"
#include "LogConfiguration.h"
#include "LogFormatter.h"
#include "LogRecord.h"
#include "LogSink.h"
#include "SinkTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace LogUtils {

class LogManagerImpl : public ILogManager {
public:
    using ConfigurationEnumeration = IEnumerable<LogConfigurationW>;

    // Stateless and shared by every thread; may be null.
    virtual IFilterEvaluator* getFilterEvaluator() = 0;
    virtual ILogFormatter* getFormatter() = 0;
    // Hands the configuration in force to the action; answers its result.
    virtual bool forEachConfiguration(ConfigurationEnumeration::ActionType& action) = 0;

    // Writes the record through one section's sink when the section takes it.
    // Reports nothing: a section that cannot write only loses its line.
    bool processSection(LogRecord& record, LookupableW& section, LookupableW& properties);

    // Applies every section of one configuration.
    class ConfigurationAction : public ConfigurationEnumeration::ActionType {
    public:
        ConfigurationAction(LogManagerImpl& manager, LogRecord& record, LookupableW& properties)
            : manager_(manager), record_(record), properties_(properties)
        {
        }
        bool operator()(LogConfigurationW& configuration) override;
        LookupableW& properties() const { return properties_; }

    private:
        LogManagerImpl& manager_;
        LogRecord& record_;
        LookupableW& properties_;
    };

    // Processes one section and goes on to the next.
    class ConfigurationSectionAction : public LogConfigurationW::ActionType {
    public:
        ConfigurationSectionAction(LogManagerImpl& manager, LogRecord& record,
                                   LookupableW& properties)
            : manager_(manager), record_(record), properties_(properties)
        {
        }
        bool operator()(LookupableW& section) override;

    private:
        LogManagerImpl& manager_;
        LogRecord& record_;
        LookupableW& properties_;
    };

    // Gives a sink the record's line in the section's format.
    class Streamer : public ILogSinkStreamer {
    public:
        Streamer(const wchar_t* format, ILogFormatter* formatter, const LogRecord& record)
            : format_(format), formatter_(formatter), record_(record)
        {
        }
        bool stream(OStream<char>& out) override;

    private:
        const wchar_t* format_;
        ILogFormatter* formatter_;
        const LogRecord& record_;
    };

protected:
    ~LogManagerImpl() = default;
};

// The sections of one configuration decided once for one property set, as
// processSection would apply them: a section that is disabled, has no type or
// a type of no sink, or whose condition is false is left out; keys are looked
// up, conditions answered (they read only the properties) and file names
// expanded here. A record then pays its filter tests and its sinks. Never
// changed after it is built, so any number of threads may route with it.
class CompiledRouting {
public:
    CompiledRouting() = default;
    // The evaluator may be null (every section then passes). Its
    // evaluateCondition runs here; a condition that throws is asked again for
    // every record, as processSection would.
    CompiledRouting(LogConfigurationW& configuration, LookupableW& properties,
                    IFilterEvaluator* evaluator);

    // Writes the record through every section that takes it, in order. The
    // properties are those the routing was built with.
    void route(LogRecord& record, LogManagerImpl& manager, LookupableW& properties) const;

    std::size_t sectionCount() const { return sections_.size(); }

private:
    struct Section {
        const SinkType* sink = nullptr;
        bool conditionPerRecord = false;
        bool hasCondition = false;
        std::wstring condition;
        CompiledFilter filter;
        bool hasFormat = false;
        std::wstring format;
        SinkSettings settings;
    };

    class Builder;

    std::vector<Section> sections_;
};

}  // namespace LogUtils
