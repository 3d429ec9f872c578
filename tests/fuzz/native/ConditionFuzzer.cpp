// The condition parser's fuzz target, built natively under AddressSanitizer
// (libfuzzer.sh, Driver.cpp). The input's bytes are read as 16-bit
// units, as the configuration file's text would be; every expression is
// answered by the parser and by the reading of the rules in
// ConditionReference.h, and the two must agree.

#include "ConditionGrammar.h"
#include "ConditionReference.h"
#include "FilterEvaluator.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

LogUtils::PropertyMap properties = {{L"activity", L"zuInstall"},
                                    {L"dt", L"20261207000000"},
                                    {L" activity ", L"ZUINSTALL"},
                                    {L"empty", L""}};

// The parser's nesting limit answers false where the rules alone would
// parse: such inputs are only run, not compared.
bool shallow(const std::wstring& text)
{
    int open = 0;
    for (wchar_t c : text)
        open += c == L'(';
    return open <= FilterEvaluator::maximumNesting;
}

}  // namespace

int fuzzCondition(const std::uint8_t* data, std::size_t size)
{
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        text += c ? c : L' ';
    }
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    const bool answer = evaluateConditionText(text.c_str(), &view);
    if (answer != evaluateConditionText(text.c_str(), &view))
        std::abort();  // the answer must not depend on earlier calls
    if (shallow(text) && answer != reference::ReferenceCondition(text, view).evaluate())
        std::abort();
    if (analyzeConditionText(text.c_str(), &view).value != answer)
        std::abort();  // the explanation runs the same parser
    return 0;
}
