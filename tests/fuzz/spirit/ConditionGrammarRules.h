#pragma once
// The rules of the condition language, shared by the logging path
// (ConditionGrammar.cpp) and the analysis for tools (ConditionAnalysis.cpp);
// include it nowhere else.

#include "ConditionGrammar.h"
#include "FilterEvaluator.h"

#include <boost/phoenix/bind/bind_function.hpp>
#include <boost/phoenix/core.hpp>
#include <boost/phoenix/operator.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/spirit/include/qi.hpp>

#include <cwchar>
#include <locale>
#include <string>

namespace condition_grammar {

namespace qi = boost::spirit::qi;
namespace phx = boost::phoenix;

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

// The address of a position in the text; the analysis's iterator adds its own.
inline const wchar_t* address(const wchar_t* at)
{
    return at;
}

template <typename Range>
Operand quoted(const Range& text)
{
    Operand operand;
    operand.begin = address(text.begin());
    operand.end = address(text.end());
    return operand;
}

// Every reference is looked up as it is parsed, whatever the value of the
// expression so far. The name is copied only to terminate it; names that fit
// the stack buffer cost no allocation.
template <typename Range>
Operand lookUp(LookupableW* properties, const Range& name)
{
    if (!properties)
        return Operand();
    const wchar_t* const nameBegin = address(name.begin());
    const std::size_t length = static_cast<std::size_t>(address(name.end()) - nameBegin);
    const wchar_t* value = nullptr;
    wchar_t buffer[128];
    if (length < sizeof buffer / sizeof buffer[0]) {
        std::wmemcpy(buffer, nameBegin, length);
        buffer[length] = L'\0';
        value = properties->getProperty(buffer);
    } else {
        const std::wstring copy(nameBegin, nameBegin + length);
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
inline bool operandsEqual(const Operand& left, const Operand& right)
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

// The logging path compares; the analysis also notes each comparison.
struct PlainComparison {
    static bool apply(LookupableW*, const Operand& left, const Operand& right)
    {
        return operandsEqual(left, right);
    }
};

// The properties travel as the inherited attribute of every rule, so one
// grammar object serves every call and every thread: parsing only reads it.
template <typename Iterator, typename Comparison = PlainComparison>
struct ConditionGrammarT : qi::grammar<Iterator, bool(LookupableW*), Skipper> {
    using Range = boost::iterator_range<Iterator>;

    ConditionGrammarT() : ConditionGrammarT::base_type(expression)
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
            [_val = phx::bind(&Comparison::apply, _r1, _1, _2)];
        operand = quotedString[_val = phx::bind(&quoted<Range>, _1)] |
                  propertyName[_val = phx::bind(&lookUp<Range>, _r1, _1)];
        quotedString = lexeme[lit(L'"') >> raw[+(char_ - L'"')] >> lit(L'"')];
        propertyName = lexeme[lit(L'<') >> raw[+(char_ - L'>')] >> lit(L'>')];
    }

    qi::rule<Iterator, bool(LookupableW*), Skipper> expression, andExpression, unary, primary,
        comparison;
    qi::rule<Iterator, Operand(LookupableW*), Skipper> operand;
    qi::rule<Iterator, Range(), Skipper> quotedString, propertyName;
};

// The parser recurses once per parenthesis. Quoted strings and property
// names are skipped the way the parser reads them, so parentheses inside them
// do not count; the parser can reach no parenthesis this scan does not see.
inline bool nestingWithinLimit(const wchar_t* first, const wchar_t* last)
{
    int depth = 0;
    for (const wchar_t* it = first; it != last; ++it) {
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

}  // namespace condition_grammar
