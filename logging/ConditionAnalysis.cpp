// The condition parser once more, for tools that explain a condition: where
// a parse stopped, the properties it used, what it compared. Its own unit, so
// that only programs that ask for it carry it.
#include "ConditionParserRules.h"

#include <algorithm>
#include <vector>

using namespace condition_parser;

namespace {

// Notes the furthest character the parser looked at, which is where a failed
// parse stopped (reaching the end counts as looking at it), the properties in
// the order first used, and every comparison with its operands.
class AnalysisObserver {
public:
    AnalysisObserver(ConditionAnalysis& analysis, const wchar_t* text)
        : analysis_(analysis), furthest_(text)
    {
    }
    const wchar_t* furthest() const { return furthest_; }

    void look(const wchar_t* at) { furthest_ = std::max(furthest_, at); }
    void lookedUp(const wchar_t* name, const wchar_t*)
    {
        std::vector<std::wstring>& names = analysis_.propertyNames;
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    void compared(const Operand& left, const Operand& right, bool equal)
    {
        ConditionComparison comparison;
        describe(left, comparison.left);
        describe(right, comparison.right);
        comparison.equal = equal;
        analysis_.comparisons.push_back(comparison);
    }

private:
    static void describe(const Operand& operand, ConditionOperand& out)
    {
        if (operand.nameBegin)
            out.property.assign(operand.nameBegin, operand.nameEnd);
        out.isSet = operand.begin != nullptr;
        if (out.isSet)
            out.value.assign(operand.begin, operand.end);
    }

    ConditionAnalysis& analysis_;
    const wchar_t* furthest_;
};

// The analysis looks every property up, through a view that answers nothing
// when there are no properties.
class NoProperties : public LookupableW {
public:
    const wchar_t* getProperty(const wchar_t*) override { return nullptr; }
};

}  // namespace

ConditionAnalysis analyzeConditionText(const wchar_t* expression, LookupableW* properties)
{
    ConditionAnalysis analysis;
    if (!expression) {
        analysis.parsed = analysis.value = true;
        return analysis;
    }
    const wchar_t* const last = expression + std::wcslen(expression);
    if (!nestingWithinLimit(expression, last)) {
        analysis.tooDeep = true;
        return analysis;
    }
    NoProperties none;
    AnalysisObserver observer(analysis, expression);
    Parser<AnalysisObserver> parser(last, properties ? properties : &none, observer);
    const wchar_t* p = expression;
    bool value = false;
    const bool parsed = parser.parse(p, value);
    analysis.parsed = parsed && p == last;
    analysis.value = analysis.parsed && value;
    if (!analysis.parsed)
        analysis.stop = static_cast<std::size_t>(std::max(observer.furthest(), p) - expression);
    return analysis;
}
