#pragma once
// The routing engine: decides, for one property set, which sections of the
// configuration in force take a record, and builds the section's sink for
// that record alone.

#include "FilterEvaluator.h"
#include "LogConfiguration.h"
#include "LogFormatter.h"
#include "LogRecord.h"
#include "LogSink.h"
#include "SinkTypes.h"

#include <string>
#include <vector>

namespace LogUtils {

class LogManagerImpl : public ILogManager {
public:
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

// Why a section takes a record or leaves it out, in the order the decisions
// are made.
enum class SectionOutcome {
    taken,
    disabled,  // "enabled" is "0" or "false"
    noType,  // no "type"
    conditionFalse,  // the condition is false or does not parse
    filtered,  // no pattern of the filter admits the record, or one excludes it
    unknownType,  // "type" names no sink: nothing is written
    noDestination,  // the sink has nowhere to write (no file name or log folder)
};

// One section as read for one property set. Everything but the filter
// depends on the properties alone and is decided here once; the filter is
// left to each record.
struct RoutedSection {
    SectionOutcome outcome = SectionOutcome::taken;  // taken: the filter decides
    std::wstring enabled;  // the "enabled" value of a disabled section
    std::wstring type;
    bool hasCondition = false;
    std::wstring condition;
    CompiledFilter filter;
    bool hasFormat = false;
    std::wstring format;
    const SinkType* sink = nullptr;
    SinkSettings settings;

    // The one decision for a record, which routing acts on and tools explain;
    // deciding gets the filter's deciding pattern (CompiledFilter::admits).
    SectionOutcome decide(const LogRecord& record, const FilterPattern** deciding = nullptr) const;
};

// The sections of one configuration decided once for one property set: keys
// are looked up, conditions answered (they read only the properties) and
// file names expanded here, so a record pays its filter tests and its sinks.
// A condition that cannot be evaluated (the heap ran out) lets every record
// through, unfiltered. Never changed after it is built, so any number of
// threads may route with it.
class CompiledRouting {
public:
    CompiledRouting() = default;
    // With folders, file sections make its log folder before their first
    // file.
    CompiledRouting(LogConfigurationW& configuration, LookupableW& properties,
                    const LogFolders* folders = nullptr);

    // Writes the record through every section that takes it, in order.
    void route(LogRecord& record) const;

    const std::vector<RoutedSection>& sections() const { return sections_; }

private:
    std::vector<RoutedSection> sections_;
};

}  // namespace LogUtils
