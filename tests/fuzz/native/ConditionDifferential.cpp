// The hand-written condition parser against the Spirit grammar it replaces,
// built natively (differential.sh): generated, mutated and random conditions,
// under several property sets; both must accept and refuse the same texts,
// give the same value, and explain them the same way (where a parse stopped,
// the properties used, every comparison).
//
//   condition-differential COUNT [SEED]

#include "ConditionGrammar.h"
#include "FilterEvaluator.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

bool spiritEvaluateConditionText(const wchar_t* expression, LookupableW* properties);
ConditionAnalysis spiritAnalyzeConditionText(const wchar_t* expression, LookupableW* properties);

namespace {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed ? seed : 1) {}
    std::uint64_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    template <typename T>
    const T& pick(const std::vector<T>& from)
    {
        return from[below(from.size())];
    }

private:
    std::uint64_t state_;
};

const std::vector<std::wstring> tokens = {
    L"true", L"false", L"not", L"and", L"or", L"(", L"(", L")", L")", L"==", L"==",
    L"\"zuInstall\"", L"\"ZUINSTALL\"", L"\"zuUninstall\"", L"\"x\"", L"\"a b\"", L"\"(\"",
    L"<activity>", L"<activity>", L"<dt>", L"<none>", L"< activity >", L"<empty>", L"<(>",
    L"\"\"", L"<>", L"\"", L"<", L">", L"TRUE", L"nottrue", L"x", L"=", L"\u00a0", L"o", L"an",
    L"\"\u00e9\"", L"\"\u00c9\"", L"tru", L"fals", L"no", L"or(", L"and(", L"==\"",
};
const std::vector<std::wstring> blanks = {L"", L"", L" ", L"  ", L"\t", L"\n", L"\r\n",
                                          L"\v\f"};

std::wstring generated(Random& random)
{
    std::wstring text;
    const std::size_t count = 1 + random.below(14);
    for (std::size_t i = 0; i < count; ++i) {
        text += random.pick(blanks);
        text += random.pick(tokens);
    }
    if (random.chance(30))
        text += random.pick(blanks);
    return text;
}

std::wstring valid(Random& random, int depth = 0)
{
    static const std::vector<std::wstring> operands = {
        L"<activity>", L"\"zuInstall\"", L"\"ZUINSTALL\"", L"<dt>", L"\"20261207000000\"",
        L"< activity >", L"<none>", L"<empty>", L"\"\u00e9\"", L"\"\u00c9\""};
    switch (depth > 4 ? random.below(3) : random.below(8)) {
    case 0:
        return random.chance(50) ? L"true" : L"false";
    case 1:
    case 2:
        return random.pick(operands) + random.pick(blanks) + L"==" + random.pick(blanks) +
               random.pick(operands);
    case 3:
        return L"not" + random.pick(blanks) + L"(" + valid(random, depth + 1) + L")";
    case 4:
        return L"not " + valid(random, depth + 1);
    case 5:
        return valid(random, depth + 1) + L" and " + valid(random, depth + 1);
    case 6:
        return L"(" + valid(random, depth + 1) + L")" + random.pick(blanks) + L"or " +
               valid(random, depth + 1);
    default:
        return valid(random, depth + 1) + random.pick(blanks) + L"or" + random.pick(blanks) +
               valid(random, depth + 1);
    }
}

wchar_t anyCharacter(Random& random)
{
    static const std::wstring common = L" \t\n()<>\"=andortruefalse x\u00e9\u00c9";
    switch (random.below(4)) {
    case 0:
        return static_cast<wchar_t>(1 + random.below(0xfffe));
    case 1:
        return static_cast<wchar_t>(1 + random.below(0x7f));
    default:
        return common[random.below(common.size())];
    }
}

std::wstring mutated(Random& random, std::wstring text)
{
    const int edits = 1 + static_cast<int>(random.below(4));
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = text.empty() ? 0 : random.below(text.size() + 1);
        switch (random.below(6)) {
        case 0:
            text.insert(at, 1, anyCharacter(random));
            break;
        case 1:
            if (at < text.size())
                text.erase(at, 1 + random.below(3));
            break;
        case 2:
            if (at < text.size())
                text[at] = anyCharacter(random);
            break;
        case 3:
            text.insert(at, random.pick(tokens));
            break;
        case 4:
            if (!text.empty()) {
                const std::size_t from = random.below(text.size());
                text.insert(at, text.substr(from, 1 + random.below(8)));
            }
            break;
        default:
            text = text.substr(0, at);
            break;
        }
    }
    return text;
}

std::wstring nested(Random& random)
{
    const int depth = FilterEvaluator::maximumNesting - 2 + static_cast<int>(random.below(5));
    std::wstring text = std::wstring(static_cast<std::size_t>(depth), L'(') + valid(random, 3) +
                        std::wstring(static_cast<std::size_t>(depth), L')');
    return random.chance(50) ? mutated(random, text) : text;
}

std::string shown(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        char buffer[16];
        if (c >= 0x20 && c < 0x7f && c != L'\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

bool sameOperand(const ConditionOperand& a, const ConditionOperand& b)
{
    return a.property == b.property && a.value == b.value && a.isSet == b.isSet;
}

bool sameAnalysis(const ConditionAnalysis& a, const ConditionAnalysis& b)
{
    if (a.value != b.value || a.parsed != b.parsed || a.tooDeep != b.tooDeep || a.stop != b.stop ||
        a.propertyNames != b.propertyNames || a.comparisons.size() != b.comparisons.size())
        return false;
    for (std::size_t i = 0; i < a.comparisons.size(); ++i) {
        const ConditionComparison &x = a.comparisons[i], &y = b.comparisons[i];
        if (!sameOperand(x.left, y.left) || !sameOperand(x.right, y.right) || x.equal != y.equal)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 0x5eed23;
    LogUtils::PropertyMap full = {{L"activity", L"zuInstall"},
                                  {L"dt", L"20261207000000"},
                                  {L" activity ", L"ZUINSTALL"},
                                  {L"(", L"\u00e9"},
                                  {L"empty", L""}};
    LogUtils::PropertyMap none;
    LogUtils::LogPropertiesOnMapImpl fullView(&full), noneView(&none);
    LookupableW* const sets[] = {&fullView, &fullView, &noneView, nullptr};

    Random random(seed);
    long accepted = 0, trueAnswers = 0;
    for (long n = 0; n < count; ++n) {
        std::wstring text;
        switch (n % 8) {
        case 0:
        case 1:
            text = generated(random);
            break;
        case 2:
            text = valid(random);
            break;
        case 3:
        case 4:
            text = mutated(random, valid(random));
            break;
        case 5:
            text = mutated(random, generated(random));
            break;
        case 6:
            text = nested(random);
            break;
        default:
            for (std::size_t i = random.below(24); i > 0; --i)
                text += anyCharacter(random);
            break;
        }
        LookupableW* const properties = sets[random.below(4)];
        const bool expected = spiritEvaluateConditionText(text.c_str(), properties);
        const bool answer = evaluateConditionText(text.c_str(), properties);
        const ConditionAnalysis before = spiritAnalyzeConditionText(text.c_str(), properties);
        const ConditionAnalysis after = analyzeConditionText(text.c_str(), properties);
        if (expected != answer || !sameAnalysis(before, after)) {
            std::printf("DIFFERENT at %ld: \"%s\": value %d/%d, parsed %d/%d, stop %zu/%zu, "
                        "comparisons %zu/%zu\n",
                        n, shown(text).c_str(), expected, answer, before.parsed, after.parsed,
                        before.stop, after.stop, before.comparisons.size(),
                        after.comparisons.size());
            return 1;
        }
        accepted += before.parsed;
        trueAnswers += answer;
    }
    std::printf("%ld conditions, seed %#llx: the same answers and explanations "
                "(%ld parsed, %ld true)\n",
                count, static_cast<unsigned long long>(seed), accepted, trueAnswers);
    return 0;
}
