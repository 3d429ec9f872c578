// The condition parser's fuzz target, built natively under AddressSanitizer
// (libfuzzer.sh, Driver.cpp). The input's bytes are read as 16-bit units, as
// the configuration file's text would be; every expression is answered twice,
// explained, and, where it parses, negated.

#include "ConditionGrammar.h"
#include "FilterEvaluator.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

LogUtils::PropertyMap properties = {{L"activity", L"zuInstall"},
                                    {L"dt", L"20261207000000"},
                                    {L" activity ", L"ZUINSTALL"},
                                    {L"empty", L""}};

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
    const ConditionAnalysis analysis = analyzeConditionText(text.c_str(), &view);
    if (analysis.value != answer)
        std::abort();  // the explanation runs the same parser
    const std::wstring negated = L"not (" + text + L")";
    if (analysis.parsed &&
        evaluateConditionText(negated.c_str(), &view) == answer &&
        analyzeConditionText(negated.c_str(), &view).parsed)
        std::abort();  // a parsed condition negates unless the nesting grows too deep
    return 0;
}
