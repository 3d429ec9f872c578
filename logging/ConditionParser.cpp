#include "ConditionParserRules.h"

using namespace condition_parser;

bool evaluateConditionText(const wchar_t* expression, LookupableW* properties)
{
    if (!expression)
        return true;
    const wchar_t* p = expression;
    const wchar_t* const last = expression + std::wcslen(expression);
    if (!nestingWithinLimit(p, last))
        return false;
    PlainObserver observer;
    Parser<PlainObserver> parser(last, properties, observer);
    bool value = false;
    return parser.parse(p, value) && p == last && value;
}
