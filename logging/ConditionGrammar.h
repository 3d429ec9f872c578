#pragma once
// The condition language, kept in one unit because its parser is costly to
// compile.

#include "LogConfiguration.h"

// True when the whole text parses as a condition and its value is true.
bool evaluateConditionText(const wchar_t* expression, LookupableW* properties);
