#pragma once
// The routing engine: applies every section of the configuration in force to
// one record and builds the section's sink for that record alone.

#include "ConditionGrammar.h"
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

    // Applies every section of one configuration (CompiledRouting decides).
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

// The manager's gate ahead of every section: Debug records are dropped while
// "debugEnable" is "0" (ignoring case).
bool dropsTraces(LookupableW& properties);

// Why one section takes a record or leaves it out, in the order the
// decisions are made: enabled, type, condition, filter, sink, destination.
struct SectionDecision {
    enum class Outcome {
        taken,
        disabled,  // "enabled" is "0" or "false"
        noType,  // no "type"
        conditionFalse,  // the condition is false or does not parse
        filtered,  // the filter admits no pattern, or excludes the record
        unknownType,  // "type" names no sink: nothing is written
        noDestination,  // the sink has nowhere to write (no file name or log folder)
    };
    Outcome outcome = Outcome::taken;
    std::wstring enabled;  // the "enabled" value of a disabled section
    std::wstring type;
    bool hasCondition = false;
    std::wstring condition;
    ConditionAnalysis conditionAnalysis;  // the comparisons the condition made
    bool hasFilter = false;
    std::wstring filter;
    bool admitted = true;  // the filter's answer (when the condition let it through)
    std::wstring decidingPattern;  // the pattern that gave that answer; empty: none matched
    bool hasFormat = false;
    std::wstring format;
    const SinkType* sink = nullptr;  // with its settings: the destination
    SinkSettings settings;
};

// The sections of one configuration decided once for one property set: a
// section that is disabled, has no type or a type of no sink, or whose
// condition is false is left out; keys are looked up, conditions answered
// (they read only the properties) and file names expanded here. A record then
// pays its filter tests and its sinks. This is the only place that decides a
// record's sections: the manager routes with it, and it explains each
// decision. Never changed after it is built, so any number of threads may
// route with it.
class CompiledRouting {
public:
    CompiledRouting() = default;
    // The evaluator may be null (every section then passes). Its
    // evaluateCondition runs here; a condition that throws is asked again for
    // every record.
    CompiledRouting(LogConfigurationW& configuration, LookupableW& properties,
                    IFilterEvaluator* evaluator);

    // Writes the record through every section that takes it, in order. The
    // properties are those the routing was built with.
    void route(LogRecord& record, LogManagerImpl& manager, LookupableW& properties) const;

    // Every section, in order, and why it takes this record or leaves it out,
    // decided as route() decides it; for tools. Allocates freely.
    std::vector<SectionDecision> explain(const LogRecord& record, LookupableW& properties) const;

private:
    struct Section {
        // Decided once: left out before any record, or a candidate (outcome
        // taken) that each record's filter then decides.
        SectionDecision::Outcome outcome = SectionDecision::Outcome::taken;
        std::wstring enabled;
        std::wstring type;
        bool hasFilter = false;
        std::wstring filter;
        const SinkType* sink = nullptr;
        bool conditionPerRecord = false;
        bool hasCondition = false;
        std::wstring condition;
        CompiledFilter compiledFilter;
        bool hasFormat = false;
        std::wstring format;
        SinkSettings settings;
    };

    class Builder;

    IFilterEvaluator* evaluator_ = nullptr;
    std::vector<Section> sections_;
};

}  // namespace LogUtils
