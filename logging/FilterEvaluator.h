#pragma once
// Decides whether a record reaches a section's sink: the section's condition
// over the run-time properties, then its filter over the record.

#include "LogConfiguration.h"
#include "LogRecord.h"

#include <string>
#include <vector>

namespace LogUtils {

class IFilterEvaluator {
public:
    // True when the whole expression parses and is true; a null expression
    // is true, anything malformed is false.
    virtual bool evaluateCondition(const wchar_t* expression, const LogRecord& record,
                                   LookupableW* properties) = 0;
    // True when the record passes the component/level pattern list; a null
    // expression passes.
    virtual bool evaluateFilter(const wchar_t* expression, const LogRecord& record,
                                LookupableW* properties) = 0;
    virtual ~IFilterEvaluator() = default;
};

}  // namespace LogUtils

// Stateless: any number of threads may use one object at once.
class FilterEvaluator : public LogUtils::IFilterEvaluator {
public:
    bool evaluateCondition(const wchar_t* expression, const LogRecord& record,
                           LookupableW* properties) override;
    bool evaluateFilter(const wchar_t* expression, const LogRecord& record,
                        LookupableW* properties) override;

    // Parenthesis nesting a condition may have; deeper ones answer false
    // rather than exhaust the logging thread's stack.
    static constexpr int maximumNesting = 32;
};

namespace LogUtils {

// A filter split into its patterns once, for a configuration that stays in
// force for many records. Answers exactly as FilterEvaluator::evaluateFilter
// on the same text; a record then costs level comparisons and, only where a
// pattern's level admits it, the component test.
class CompiledFilter {
public:
    // Null: every record passes.
    explicit CompiledFilter(const wchar_t* expression = nullptr);

    // Throws only when the heap fails for a component of unusual length.
    bool matches(const LogRecord& record) const;
    // matches()'s answer, with the pattern, as written ("~" included), that
    // gives it: the first positive pattern that admits the record, or the
    // first exclusion that matches it; empty when no pattern matches.
    bool decide(const LogRecord& record, std::wstring& deciding) const;

private:
    struct Pattern {
        std::size_t tokenBegin;  // in text_, "~" included
        std::size_t componentBegin;
        std::size_t componentLength;
        bool anyComponent;
        std::size_t levelBegin;
        std::size_t levelLength;
        // The level the level part admits up to; -1 when the part holds
        // characters whose narrow form depends on the thread's code page, so
        // it is worked out per record.
        int level;
    };

    bool present_;
    std::wstring text_;
    // Tokens without a dot match nothing and are left out.
    std::vector<Pattern> exclusions_;
    std::vector<Pattern> positives_;
};

}  // namespace LogUtils
