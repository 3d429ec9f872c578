// CompiledRouting's explanation, for tools: its own unit, so that the module,
// which only routes, carries neither it nor the condition analysis.
#include "LogManager.h"

#include <exception>

namespace LogUtils {

std::vector<SectionDecision> CompiledRouting::explain(const LogRecord& record,
                                                      LookupableW& properties) const
{
    std::vector<SectionDecision> decisions;
    for (const Section& section : sections_) {
        decisions.emplace_back();
        SectionDecision& decision = decisions.back();
        decision.outcome = section.outcome;
        decision.enabled = section.enabled;
        decision.type = section.type;
        decision.hasCondition = section.hasCondition;
        decision.condition = section.condition;
        decision.hasFilter = section.hasFilter;
        decision.filter = section.filter;
        decision.hasFormat = section.hasFormat;
        decision.format = section.format;
        decision.sink = section.sink;
        decision.settings = section.settings;
        if (section.outcome == SectionDecision::Outcome::disabled ||
            section.outcome == SectionDecision::Outcome::noType)
            continue;
        if (section.hasCondition)
            decision.conditionAnalysis =
                analyzeConditionText(section.condition.c_str(), &properties);
        if (section.outcome == SectionDecision::Outcome::conditionFalse)
            continue;
        try {
            if (section.conditionPerRecord && evaluator_ &&
                !evaluator_->evaluateCondition(section.hasCondition ? section.condition.c_str()
                                                                    : nullptr,
                                               record, &properties)) {
                decision.outcome = SectionDecision::Outcome::conditionFalse;
                continue;
            }
            decision.admitted = section.compiledFilter.decide(record, decision.decidingPattern);
        } catch (const std::exception&) {
            decision.admitted = true;
        }
        if (!decision.admitted)
            decision.outcome = SectionDecision::Outcome::filtered;
    }
    return decisions;
}

}  // namespace LogUtils
