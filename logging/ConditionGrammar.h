#pragma once
// The condition language (ConditionParser.cpp).

#include "LogConfiguration.h"

#include <cstddef>
#include <string>
#include <vector>

// True when the whole text parses as a condition and its value is true.
bool evaluateConditionText(const wchar_t* expression, LookupableW* properties);

// One side of a comparison: a quoted text, or a property and its value.
struct ConditionOperand {
    std::wstring property;  // empty for a quoted text
    std::wstring value;
    bool isSet = false;  // false: a property the properties do not hold
};

struct ConditionComparison {
    ConditionOperand left;
    ConditionOperand right;
    bool equal = false;
};

// What the same parser makes of a condition, for tools that explain it.
struct ConditionAnalysis {
    bool value = false;  // evaluateConditionText's answer, always
    bool parsed = false;  // the whole text parsed (a null text counts)
    bool tooDeep = false;  // more nested parentheses than are evaluated
    // When not parsed: the offset of the furthest character the parser
    // looked at, the length of the text when it ran out.
    std::size_t stop = 0;
    std::vector<std::wstring> propertyNames;  // as written, first use first
    std::vector<ConditionComparison> comparisons;  // in the order evaluated
};

// Parses the text once more, for explanation only; allocates freely.
ConditionAnalysis analyzeConditionText(const wchar_t* expression, LookupableW* properties);
