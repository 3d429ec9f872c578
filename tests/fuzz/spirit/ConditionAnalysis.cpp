// The condition grammar once more, for tools that explain a condition:
// where a parse stopped, the properties it used, what it compared. Its own
// unit, so that only programs that ask for it carry it.
#include "ConditionGrammar.h"
#include "ConditionGrammarRules.h"

#include <boost/iterator/iterator_facade.hpp>

#include <algorithm>
#include <utility>
#include <vector>

namespace condition_grammar {
namespace {

// Walks the text noting the furthest character the parser looked at, which is
// where a failed parse stopped. Reaching the end counts as looking at it.
class TrackingIterator
    : public boost::iterator_facade<TrackingIterator, const wchar_t, boost::forward_traversal_tag> {
public:
    TrackingIterator() = default;
    TrackingIterator(const wchar_t* at, const wchar_t** furthest) : at_(at), furthest_(furthest) {}
    const wchar_t* base() const { return at_; }

private:
    friend class boost::iterator_core_access;
    const wchar_t& dereference() const
    {
        note();
        return *at_;
    }
    bool equal(const TrackingIterator& other) const
    {
        if (at_ != other.at_)
            return false;
        note();
        return true;
    }
    void increment() { ++at_; }
    void note() const
    {
        if (furthest_ && at_ > *furthest_)
            *furthest_ = at_;
    }

    const wchar_t* at_ = nullptr;
    const wchar_t** furthest_ = nullptr;
};

const wchar_t* address(const TrackingIterator& at)
{
    return at.base();
}

// Looks properties up for the grammar, noting each name and value in the
// order the parser asks, and the operands and answer of every comparison.
class Recorder : public LookupableW {
public:
    Recorder(LookupableW* properties, ConditionAnalysis& analysis, const wchar_t* text,
             const wchar_t* textEnd)
        : properties_(properties), analysis_(analysis), text_(text), textEnd_(textEnd)
    {
    }

    const wchar_t* getProperty(const wchar_t* name) override
    {
        const wchar_t* value = properties_ ? properties_->getProperty(name) : nullptr;
        bool known = false;
        for (const std::wstring& used : analysis_.propertyNames)
            known = known || used == name;
        if (!known)
            analysis_.propertyNames.push_back(name);
        lookups_.emplace_back(name, value);
        return value;
    }

    // A property operand's value came from one of the last two lookups: the
    // right one's from the last, the left one's from the one before.
    void compared(const Operand& left, const Operand& right, bool equal)
    {
        ConditionComparison comparison;
        std::size_t lookup = lookups_.size();
        describe(right, comparison.right, lookup);
        describe(left, comparison.left, lookup);
        comparison.equal = equal;
        analysis_.comparisons.push_back(comparison);
    }

private:
    void describe(const Operand& operand, ConditionOperand& out, std::size_t& lookup)
    {
        const bool quotedText = operand.begin && operand.begin >= text_ && operand.begin < textEnd_;
        if (!quotedText && lookup > 0)
            out.property = lookups_[--lookup].first;
        out.isSet = operand.begin != nullptr;
        if (out.isSet)
            out.value.assign(operand.begin, operand.end);
    }

    LookupableW* properties_;
    ConditionAnalysis& analysis_;
    const wchar_t* text_;
    const wchar_t* textEnd_;
    std::vector<std::pair<std::wstring, const wchar_t*>> lookups_;
};

// The analysis always parses with a Recorder as the properties.
struct RecordedComparison {
    static bool apply(LookupableW* recorder, const Operand& left, const Operand& right)
    {
        const bool equal = operandsEqual(left, right);
        static_cast<Recorder*>(recorder)->compared(left, right, equal);
        return equal;
    }
};

}  // namespace
}  // namespace condition_grammar

ConditionAnalysis analyzeConditionText(const wchar_t* expression, LookupableW* properties)
{
    using namespace condition_grammar;
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
    // Built for each call: tools analyse a handful of conditions.
    const ConditionGrammarT<TrackingIterator, RecordedComparison> grammar;
    Recorder recorder(properties, analysis, expression, last);
    const wchar_t* furthest = expression;
    TrackingIterator first(expression, &furthest);
    const TrackingIterator end(last, &furthest);
    bool value = false;
    const bool parsed = qi::phrase_parse(first, end, grammar(static_cast<LookupableW*>(&recorder)),
                                         boost::spirit::ascii::space, value);
    analysis.parsed = parsed && first.base() == last;
    analysis.value = analysis.parsed && value;
    if (!analysis.parsed)
        analysis.stop = static_cast<std::size_t>(std::max(furthest, first.base()) - expression);
    return analysis;
}
