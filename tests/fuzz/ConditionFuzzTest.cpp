// Hostile conditions and filters: tens of thousands of generated, mutated and
// random expressions, each right before an inaccessible page, so that a read
// past its terminator faults. The engines have no second implementation to be
// compared with; their answers are held to relations that any reading of the
// rules keeps (a negated condition answers the opposite, the order of a
// filter's patterns changes nothing), and to the explanations tools give.

#include "FuzzSupport.h"

#include "ConditionGrammar.h"
#include "FilterEvaluator.h"
#include "LogConfiguration.h"
#include "LogRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint64_t defaultSeed = 0x0c0ffee5eedull;

std::wstring generatedCondition(fuzz::Random& random)
{
    static const std::vector<std::wstring> tokens = {
        L"true", L"false", L"not", L"and", L"or", L"(", L"(", L")", L")", L"==", L"==",
        L"\"zuInstall\"", L"\"ZUINSTALL\"", L"\"x\"", L"\"a b\"", L"<activity>", L"<activity>",
        L"<dt>", L"<none>", L"< activity >", L"<empty>", L"\"\"", L"<>", L"\"", L"<", L">",
        L"TRUE", L"nottrue", L"x", L"=", L"\u00a0", L"\"\u00e9\""};
    static const std::vector<std::wstring> blanks = {L"", L" ", L" ", L"\t", L"\r\n", L"\v\f"};
    std::wstring text;
    for (std::size_t i = 1 + random.below(12); i > 0; --i)
        text += random.pick(blanks) + random.pick(tokens);
    return text;
}

std::wstring validCondition(fuzz::Random& random, int depth = 0)
{
    static const std::vector<std::wstring> operands = {L"<activity>", L"\"zuInstall\"",
                                                       L"<dt>", L"< activity >", L"<none>"};
    switch (depth > 3 ? random.below(3) : random.below(6)) {
    case 0: return random.chance(50) ? L"true" : L"false";
    case 1:
    case 2: return random.pick(operands) + L"==" + random.pick(operands);
    case 3: return L"not (" + validCondition(random, depth + 1) + L")";
    case 4: return validCondition(random, depth + 1) + L" and " + validCondition(random, depth + 1);
    default:
        return L"(" + validCondition(random, depth + 1) + L") or " + validCondition(random, depth + 1);
    }
}

std::wstring randomText(fuzz::Random& random, std::size_t maximum)
{
    std::wstring text;
    for (std::size_t length = random.below(maximum + 1); length > 0; --length)
        text += random.anyCharacter();
    return text;
}

class ConditionFuzz : public ::testing::Test {
protected:
    bool answer(const std::wstring& text)
    {
        const fuzz::GuardedText guarded(text);
        return evaluateConditionText(guarded.get(), &view);
    }

    LogUtils::PropertyMap map = {{L"activity", L"zuInstall"},
                                 {L"dt", L"20261207000000"},
                                 {L" activity ", L"ZUINSTALL"},
                                 {L"empty", L""}};
    LogUtils::LogPropertiesOnMapImpl view{&map};
    const std::uint64_t seed = fuzz::seedFromEnvironment(defaultSeed);
};

TEST_F(ConditionFuzz, ConditionsKeepTheRelationsOfTheGrammar)
{
    fuzz::Random random(seed);
    int trueAnswers = 0, parsed = 0;
    for (int n = 0; n < 30000; ++n) {
        std::wstring text;
        switch (n % 4) {
        case 0: text = randomText(random, 48); break;
        case 1: text = generatedCondition(random); break;
        case 2: text = validCondition(random); break;
        default: text = fuzz::mutate(random, validCondition(random), 1 + static_cast<int>(random.below(4)));
        }
        const bool value = answer(text);
        const ConditionAnalysis analysis = analyzeConditionText(text.c_str(), &view);
        ASSERT_EQ(value, analysis.value) << "seed " << seed << " case " << n;
        ASSERT_LE(analysis.stop, text.size()) << "seed " << seed << " case " << n;
        const auto opening = std::count(text.begin(), text.end(), L'(');
        if (analysis.parsed && opening < FilterEvaluator::maximumNesting) {
            // A whole condition is a primary once parenthesized.
            ASSERT_EQ(!value, answer(L"not (" + text + L")")) << "seed " << seed << " case " << n;
            ASSERT_EQ(value, answer(L" (" + text + L")\t")) << "seed " << seed << " case " << n;
            ASSERT_EQ(value, answer(L"(" + text + L") and true")) << "seed " << seed;
            ASSERT_EQ(true, answer(L"(" + text + L") or true")) << "seed " << seed;
        } else {
            ASSERT_FALSE(value) << "seed " << seed << " case " << n;
        }
        parsed += analysis.parsed;
        trueAnswers += value;
    }
    // The generators must reach every kind of answer often, or they test little.
    std::printf("conditions: 30000, %d parsed, %d true\n", parsed, trueAnswers);
    EXPECT_GT(parsed, 6000);
    EXPECT_GT(trueAnswers, 3000);
    EXPECT_LT(trueAnswers, parsed - 3000);
}

TEST_F(ConditionFuzz, HugeConditionsAnswerWithoutExhaustingTheStack)
{
    std::wstring chain = L"true";
    for (int i = 0; i < 20000; ++i)
        chain += L" and true or false";
    const struct {
        std::wstring text;
        bool value;
    } cases[] = {
        {std::wstring(100000, L'('), false},
        {std::wstring(50000, L'(') + L"true" + std::wstring(50000, L')'), false},
        {L"not " + std::wstring(20000, L'('), false},
        {chain, true},
        {L"\"" + std::wstring(100000, L'x') + L"\"==\"" + std::wstring(100000, L'X') + L"\"", true},
        {L"<" + std::wstring(100000, L'a') + L">==\"x\"", false},
        {std::wstring(100000, L' '), false},
        {std::wstring(100000, L'"'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, answer(c.text)) << c.text.size();
}

// --- Filters ---

std::vector<std::wstring> tokensOf(const std::wstring& filter)
{
    std::vector<std::wstring> tokens;
    for (std::size_t at = filter.find_first_not_of(L' '); at != std::wstring::npos;) {
        const std::size_t end = filter.find(L' ', at);
        tokens.push_back(filter.substr(at, end - at));
        at = filter.find_first_not_of(L' ', end);
    }
    return tokens;
}

TEST_F(ConditionFuzz, FiltersKeepTheirAnswerInAnyOrder)
{
    static const std::vector<std::wstring> patterns = {
        L"*.Info", L"*.Notice", L"~kwAgent.Info", L"zu.Debug", L".Info", L"*.", L"*.Verbose",
        L"Info", L"~", L"zuAgent.Error", L"*.E", L"kw.warn", L"~*.Debug", L"a.b.c", L"*.info\t",
        L"ZUAGENT.crit", L"~zu.", L"*.alertx", L"\u00e9.Info", L"~.", L"*", L"..", L"*.\u00e9"};
    static const std::vector<std::string> components = {"zuAgent", "kwAgentUpdate", "OrnShExt",
                                                        "zuAgen", "", "\xe9t\xe9"};
    fuzz::Random random(seed + 1);
    FilterEvaluator evaluator;
    int passed = 0;
    for (int n = 0; n < 40000; ++n) {
        std::wstring filter;
        if (n % 4 == 3) {
            filter = randomText(random, 40);
        } else if (n % 4 == 2) {
            filter = fuzz::mutate(random, random.pick(patterns) + L" " + random.pick(patterns),
                                  1 + static_cast<int>(random.below(3)));
        } else {
            for (std::size_t i = random.below(5); i > 0; --i)
                filter += std::wstring(random.below(3), L' ') + random.pick(patterns);
        }
        const LogRecord record(".\\Fuzz", n, static_cast<int>(random.below(logLevelCount)),
                               random.pick(components).c_str(), nullptr);
        const fuzz::GuardedText guarded(filter);
        const LogUtils::FilterPattern* deciding = nullptr;
        const LogUtils::CompiledFilter compiled(guarded.get());
        const bool answer = compiled.admits(record, &deciding);
        ASSERT_EQ(answer, evaluator.evaluateFilter(guarded.get(), record, nullptr)) << n;
        // The deciding pattern is one of the filter's, of the kind the answer says.
        std::vector<std::wstring> tokens = tokensOf(filter);
        if (deciding) {
            ASSERT_NE(tokens.end(), std::find(tokens.begin(), tokens.end(), deciding->token));
            ASSERT_EQ(answer, !deciding->exclusion) << "seed " << seed + 1 << " case " << n;
        } else {
            ASSERT_FALSE(answer) << "seed " << seed + 1 << " case " << n;
        }
        std::reverse(tokens.begin(), tokens.end());
        std::wstring reversed;
        for (const std::wstring& token : tokens)
            reversed += L"  " + token;
        ASSERT_EQ(answer, LogUtils::CompiledFilter(reversed.c_str()).admits(record))
            << "seed " << seed + 1 << " case " << n;
        // An exclusion that matches every record rejects whatever was admitted.
        ASSERT_FALSE(LogUtils::CompiledFilter((filter + L" ~.Debug").c_str()).admits(record));
        passed += answer;
    }
    std::printf("filters: 40000, %d passed\n", passed);
    EXPECT_GT(passed, 4000);
    EXPECT_LT(passed, 36000);
}

}  // namespace
