#include "ConditionGrammar.h"
#include "FilterEvaluator.h"

#include <boost/phoenix/bind/bind_function.hpp>
#include <boost/phoenix/core.hpp>
#include <boost/phoenix/operator.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/spirit/include/qi.hpp>

#include <atomic>
#include <cwchar>
#include <locale>
#include <memory>
#include <string>

namespace {

namespace qi = boost::spirit::qi;
namespace phx = boost::phoenix;

using Iterator = const wchar_t*;
using Range = boost::iterator_range<Iterator>;
// Exactly space, tab, line feed, vertical tab, form feed and carriage
// return: the ASCII class refuses every character above 0x7f.
using Skipper = boost::spirit::ascii::space_type;

// A string operand, pointing into the expression or into a property value
// (valid while the properties object is). A null begin stands for a property
// that is not set.
struct Operand {
    const wchar_t* begin = nullptr;
    const wchar_t* end = nullptr;
};

Operand quoted(const Range& text)
{
    Operand operand;
    operand.begin = text.begin();
    operand.end = text.end();
    return operand;
}

// Every reference is looked up as it is parsed, whatever the value of the
// expression so far. The name is copied only to terminate it; names that fit
// the stack buffer cost no allocation.
Operand lookUp(LookupableW* properties, const Range& name)
{
    if (!properties)
        return Operand();
    const std::size_t length = static_cast<std::size_t>(name.size());
    const wchar_t* value = nullptr;
    wchar_t buffer[128];
    if (length < sizeof buffer / sizeof buffer[0]) {
        std::wmemcpy(buffer, name.begin(), length);
        buffer[length] = L'\0';
        value = properties->getProperty(buffer);
    } else {
        const std::wstring copy(name.begin(), name.end());
        value = properties->getProperty(copy.c_str());
    }
    if (!value)
        return Operand();
    Operand operand;
    operand.begin = value;
    operand.end = value + std::wcslen(value);
    return operand;
}

// Equal length, and equal characters once each is upper-cased by the global
// locale. A property that is not set equals nothing, not even another unset
// one: a condition about an unknown property must not select a section by
// accident.
bool operandsEqual(const Operand& left, const Operand& right)
{
    if (!left.begin || !right.begin)
        return false;
    if (left.end - left.begin != right.end - right.begin)
        return false;
    const std::locale global;
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(global);
    for (const wchar_t *l = left.begin, *r = right.begin; l != left.end; ++l, ++r) {
        if (ctype.toupper(*l) != ctype.toupper(*r))
            return false;
    }
    return true;
}

// The properties travel as the inherited attribute of every rule, so one
// grammar object serves every call and every thread: parsing only reads it.
struct ConditionGrammar : qi::grammar<Iterator, bool(LookupableW*), Skipper> {
    ConditionGrammar() : ConditionGrammar::base_type(expression)
    {
        using boost::spirit::standard_wide::char_;
        using qi::_1;
        using qi::_2;
        using qi::_r1;
        using qi::_val;
        using qi::lexeme;
        using qi::lit;
        using qi::raw;

        // Both chains parse, and so evaluate, every operand before they
        // combine its value: no short-circuit.
        expression = andExpression(_r1)[_val = _1] >>
                     *(lit(L"or") >> andExpression(_r1)[_val = _val || _1]);
        andExpression = unary(_r1)[_val = _1] >>
                        *(lit(L"and") >> unary(_r1)[_val = _val && _1]);
        // "not" takes a primary, so it cannot repeat.
        unary = (lit(L"not") >> primary(_r1))[_val = !_1] | primary(_r1)[_val = _1];
        primary = lit(L"true")[_val = true] | lit(L"false")[_val = false] |
                  (lit(L'(') >> expression(_r1) >> lit(L')'))[_val = _1] |
                  comparison(_r1)[_val = _1];
        comparison = (operand(_r1) >> lit(L"==") >> operand(_r1))
            [_val = phx::bind(&operandsEqual, _1, _2)];
        operand = quotedString[_val = phx::bind(&quoted, _1)] |
                  propertyName[_val = phx::bind(&lookUp, _r1, _1)];
        quotedString = lexeme[lit(L'"') >> raw[+(char_ - L'"')] >> lit(L'"')];
        propertyName = lexeme[lit(L'<') >> raw[+(char_ - L'>')] >> lit(L'>')];
    }

    qi::rule<Iterator, bool(LookupableW*), Skipper> expression, andExpression, unary, primary,
        comparison;
    qi::rule<Iterator, Operand(LookupableW*), Skipper> operand;
    qi::rule<Iterator, Range(), Skipper> quotedString, propertyName;
};

// Building the rules is far costlier than a parse: once per process, on first
// use, by whichever thread gets there first. The pointer is constant-initialised
// and the grammar is released only after every other object of the module is
// gone, so a record logged from another object's destructor still finds it.
std::atomic<const ConditionGrammar*> sharedGrammar{nullptr};

struct GrammarRelease {
    ~GrammarRelease() { delete sharedGrammar.exchange(nullptr); }
};
GrammarRelease grammarRelease __attribute__((init_priority(101)));

const ConditionGrammar& conditionGrammar()
{
    const ConditionGrammar* grammar = sharedGrammar.load(std::memory_order_acquire);
    if (grammar)
        return *grammar;
    std::unique_ptr<const ConditionGrammar> built(new ConditionGrammar);
    const ConditionGrammar* expected = nullptr;
    if (sharedGrammar.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel))
        return *built.release();
    return *expected;  // another thread's grammar won; ours is dropped
}

// The parser recurses once per parenthesis. Quoted strings and property
// names are skipped the way the parser reads them, so parentheses inside them
// do not count; the parser can reach no parenthesis this scan does not see.
bool nestingWithinLimit(Iterator first, Iterator last)
{
    int depth = 0;
    for (Iterator it = first; it != last; ++it) {
        const wchar_t c = *it;
        if (c == L'"' || c == L'<') {
            const wchar_t close = c == L'"' ? L'"' : L'>';
            ++it;
            while (it != last && *it != close)
                ++it;
            if (it == last)
                return true;
        } else if (c == L'(') {
            if (++depth > FilterEvaluator::maximumNesting)
                return false;
        } else if (c == L')' && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace

bool evaluateConditionText(const wchar_t* expression, LookupableW* properties)
{
    if (!expression)
        return true;
    Iterator first = expression;
    const Iterator last = expression + std::wcslen(expression);
    if (!nestingWithinLimit(first, last))
        return false;
    bool value = false;
    const bool parsed = qi::phrase_parse(first, last, conditionGrammar()(properties),
                                         boost::spirit::ascii::space, value);
    return parsed && first == last && value;
}
