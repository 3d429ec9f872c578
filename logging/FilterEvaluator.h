#pragma once
// Decides whether a record reaches a section's sink: the section's condition
// over the run-time properties, then its filter over the record.

#include "LogConfiguration.h"
#include "LogRecord.h"

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
