#pragma once
// The condition language read by recursive descent: ordered choice, and a
// repetition that gives back an "and" or "or" whose operand does not parse.
// The logging path (ConditionParser.cpp) and the analysis for tools
// (ConditionAnalysis.cpp) run the same parser with their own observer; include
// it nowhere else.

#include "ConditionGrammar.h"
#include "FilterEvaluator.h"

#include <cwchar>
#include <cwctype>
#include <string>

namespace condition_parser {

// A string operand, pointing into the text or into a property value (valid
// while the properties object is). A null begin stands for a property that is
// not set; name is set for a property reference.
struct Operand {
    const wchar_t* begin = nullptr;
    const wchar_t* end = nullptr;
    const wchar_t* nameBegin = nullptr;
    const wchar_t* nameEnd = nullptr;
};

// Exactly space, tab, line feed, vertical tab, form feed and carriage return.
inline bool isSpace(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Equal length, and equal characters once each is upper-cased the way the
// runtime's wide classification does. A property that is not set equals
// nothing, not even another unset one: a condition about an unknown property
// must not select a section by accident.
inline bool operandsEqual(const Operand& left, const Operand& right)
{
    if (!left.begin || !right.begin)
        return false;
    if (left.end - left.begin != right.end - right.begin)
        return false;
    for (const wchar_t *l = left.begin, *r = right.begin; l != left.end; ++l, ++r) {
        if (std::towupper(*l) != std::towupper(*r))
            return false;
    }
    return true;
}

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

// The logging path: it only compares.
struct PlainObserver {
    void look(const wchar_t*) {}
    void lookedUp(const wchar_t*, const wchar_t*) {}
    void compared(const Operand&, const Operand&, bool) {}
};

template <typename Observer>
class Parser {
public:
    Parser(const wchar_t* last, LookupableW* properties, Observer& observer)
        : last_(last), properties_(properties), observer_(observer)
    {
    }

    // The whole text, whitespace after the last token included.
    bool parse(const wchar_t*& p, bool& value)
    {
        if (!expression(p, value))
            return false;
        skip(p);
        return true;
    }

private:
    bool atEnd(const wchar_t* p)
    {
        observer_.look(p);
        return p == last_;
    }
    // Reads the character at p, which is not the end.
    wchar_t at(const wchar_t* p)
    {
        observer_.look(p);
        return *p;
    }
    void skip(const wchar_t*& p)
    {
        while (!atEnd(p) && isSpace(at(p)))
            ++p;
    }
    // A keyword or operator: exact characters, no word boundary after it.
    bool literal(const wchar_t*& p, const wchar_t* word)
    {
        const wchar_t* q = p;
        skip(q);
        for (; *word; ++word, ++q) {
            if (atEnd(q) || at(q) != *word)
                return false;
        }
        p = q;
        return true;
    }

    using Rule = bool (Parser::*)(const wchar_t*&, bool&);

    // Operands joined by a keyword. Every operand is parsed, and so observed,
    // even once the answer is known; a keyword whose operand does not parse
    // is given back.
    bool joined(const wchar_t*& p, bool& value, const wchar_t* keyword, Rule next, bool isOr)
    {
        const wchar_t* q = p;
        if (!(this->*next)(q, value))
            return false;
        for (;;) {
            const wchar_t* r = q;
            bool operand = false;
            if (!literal(r, keyword) || !(this->*next)(r, operand))
                break;
            value = isOr ? value || operand : value && operand;
            q = r;
        }
        p = q;
        return true;
    }
    bool expression(const wchar_t*& p, bool& value)
    {
        return joined(p, value, L"or", &Parser::andExpression, true);
    }
    bool andExpression(const wchar_t*& p, bool& value)
    {
        return joined(p, value, L"and", &Parser::unary, false);
    }
    // "not" takes a primary, so it cannot repeat.
    bool unary(const wchar_t*& p, bool& value)
    {
        const wchar_t* q = p;
        bool operand = false;
        if (literal(q, L"not") && primary(q, operand)) {
            value = !operand;
            p = q;
            return true;
        }
        return primary(p, value);
    }
    bool primary(const wchar_t*& p, bool& value)
    {
        const wchar_t* q = p;
        if (literal(q, L"true")) {
            value = true;
            p = q;
            return true;
        }
        q = p;
        if (literal(q, L"false")) {
            value = false;
            p = q;
            return true;
        }
        q = p;
        bool inner = false;
        if (literal(q, L"(") && expression(q, inner) && literal(q, L")")) {
            value = inner;
            p = q;
            return true;
        }
        return comparison(p, value);
    }
    bool comparison(const wchar_t*& p, bool& value)
    {
        const wchar_t* q = p;
        Operand left, right;
        if (!operand(q, left) || !literal(q, L"==") || !operand(q, right))
            return false;
        value = operandsEqual(left, right);
        observer_.compared(left, right, value);
        p = q;
        return true;
    }
    bool operand(const wchar_t*& p, Operand& out)
    {
        const wchar_t *begin = nullptr, *end = nullptr;
        if (delimited(p, L'"', L'"', begin, end)) {
            out.begin = begin;
            out.end = end;
            return true;
        }
        if (!delimited(p, L'<', L'>', begin, end))
            return false;
        out.nameBegin = begin;
        out.nameEnd = end;
        lookUp(out);
        return true;
    }
    // One or more characters other than the closing one, between the two;
    // nothing is skipped inside.
    bool delimited(const wchar_t*& p, wchar_t open, wchar_t close, const wchar_t*& begin,
                   const wchar_t*& end)
    {
        const wchar_t* q = p;
        skip(q);
        if (atEnd(q) || at(q) != open)
            return false;
        begin = ++q;
        while (!atEnd(q) && at(q) != close)
            ++q;
        if (q == begin || q == last_)
            return false;
        end = q++;
        p = q;
        return true;
    }
    // Every reference is looked up as it is read, whatever the value of the
    // expression so far. The name is copied only to terminate it; names that
    // fit the stack buffer cost no allocation.
    void lookUp(Operand& operand)
    {
        if (!properties_)
            return;
        const std::size_t length = static_cast<std::size_t>(operand.nameEnd - operand.nameBegin);
        const wchar_t* value = nullptr;
        wchar_t buffer[128];
        if (length < sizeof buffer / sizeof buffer[0]) {
            std::wmemcpy(buffer, operand.nameBegin, length);
            buffer[length] = L'\0';
            value = properties_->getProperty(buffer);
            observer_.lookedUp(buffer, value);
        } else {
            const std::wstring copy(operand.nameBegin, operand.nameEnd);
            value = properties_->getProperty(copy.c_str());
            observer_.lookedUp(copy.c_str(), value);
        }
        if (!value)
            return;
        operand.begin = value;
        operand.end = value + std::wcslen(value);
    }

    const wchar_t* const last_;
    LookupableW* const properties_;
    Observer& observer_;
};

}  // namespace condition_parser
