#pragma once
// Decides whether a record reaches a section's sink: the section's condition
// over the run-time properties (ConditionGrammar.h), then its filter over the
// record (CompiledFilter, the one filter engine).

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

// One token of a filter: tokens are separated by blanks alone (a tab belongs
// to its token), a leading "~" marks an exclusion, and the rest is a
// component part, a dot and a level part:
//   "*.Info"         every component, levels up to Info
//   "~kwAgent.Info"  except components beginning "kwAgent" (ignoring case), up to Info
//   "zu*.Info"       components beginning "zu*": the star is a wildcard only alone
//   "Info"           no dot: matches nothing
struct FilterPattern {
    std::wstring token;  // as written, "~" included
    bool exclusion = false;
    bool hasDot = false;
    std::size_t componentLength = 0;
    bool anyComponent = false;  // the component part is "*" or empty
    // The level the level part admits up to (levelFromName of its narrow
    // form); -1 when that form depends on the thread's code page.
    int level = LevelDebug;

    const wchar_t* component() const { return token.c_str() + (exclusion ? 1 : 0); }
    const wchar_t* levelPart() const { return component() + componentLength + 1; }
};

// A filter split into its patterns once, for a configuration that stays in
// force for many records; a record then costs level comparisons and, only
// where a pattern's level admits it, the component test.
class CompiledFilter {
public:
    // Null: every record passes.
    explicit CompiledFilter(const wchar_t* expression = nullptr);

    // One positive pattern that admits the record lets it through unless an
    // exclusion matches it. deciding gets the pattern that gave the answer:
    // that exclusion, else the first positive pattern that admits the record;
    // null when none admits it or there is no filter. Throws only when the
    // heap fails for a component of unusual length.
    bool admits(const LogRecord& record, const FilterPattern** deciding = nullptr) const;

    bool present() const { return present_; }
    const std::wstring& text() const { return text_; }
    const std::vector<FilterPattern>& patterns() const { return patterns_; }

private:
    bool present_;
    std::wstring text_;
    std::vector<FilterPattern> patterns_;  // in the order written
};

}  // namespace LogUtils

// Stateless: any number of threads may use one object at once. Both answers
// come from the engines the routing uses.
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
