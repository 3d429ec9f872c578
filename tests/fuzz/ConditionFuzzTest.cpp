// Hostile conditions and filters: tens of thousands of generated, mutated and
// random expressions. Generated and mutated ones are also answered by a small
// reference reading of the rules, and the evaluator must give the same
// answer; every expression sits right before an inaccessible page, so a read
// past its terminator faults.

#include "ConditionReference.h"
#include "FuzzSupport.h"

#include "FilterEvaluator.h"
#include "LogConfiguration.h"
#include "LogRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwchar>
#include <locale>

namespace {

constexpr std::uint64_t defaultSeed = 0x0c0ffee5eedull;

// The properties conditions consult; "none" is never set.
LogUtils::PropertyMap properties()
{
    return {{L"activity", L"zuInstall"},
            {L"dt", L"20261207000000"},
            {L"debugEnable", L"1"},
            {L" activity ", L"ZUINSTALL"},
            {L"empty", L""}};
}

std::wstring generatedCondition(fuzz::Random& random)
{
    static const std::vector<std::wstring> tokens = {
        L"true", L"false", L"not", L"and", L"or", L"(", L"(", L")", L")", L"==", L"==",
        L"\"zuInstall\"", L"\"ZUINSTALL\"", L"\"zuUninstall\"", L"\"x\"", L"\"a b\"",
        L"<activity>", L"<activity>", L"<dt>", L"<none>", L"< activity >", L"<empty>",
        L"\"\"", L"<>", L"\"", L"<", L">", L"TRUE", L"nottrue", L"x", L"=", L"\u00a0",
        L"\"\u00e9\"", L"\"\u00c9\"",
    };
    static const std::vector<std::wstring> blanks = {L"", L" ", L" ", L"  ", L"\t", L"\n",
                                                     L"\r\n", L"\v\f"};
    std::wstring text;
    const std::size_t count = 1 + random.below(12);
    for (std::size_t i = 0; i < count; ++i) {
        text += random.pick(blanks);
        text += random.pick(tokens);
    }
    if (random.chance(30))
        text += random.pick(blanks);
    return text;
}

// Well-formed conditions: the table's own and some of every shape.
std::wstring validCondition(fuzz::Random& random, int depth = 0)
{
    static const std::vector<std::wstring> operands = {
        L"<activity>", L"\"zuInstall\"", L"\"ZUINSTALL\"", L"<dt>", L"\"20261207000000\"",
        L"< activity >", L"<none>"};
    switch (depth > 3 ? random.below(3) : random.below(6)) {
    case 0:
        return random.chance(50) ? L"true" : L"false";
    case 1:
    case 2:
        return random.pick(operands) + L"==" + random.pick(operands);
    case 3:
        return L"not (" + validCondition(random, depth + 1) + L")";
    case 4:
        return validCondition(random, depth + 1) + L" and " + validCondition(random, depth + 1);
    default:
        return L"(" + validCondition(random, depth + 1) + L") or " +
               validCondition(random, depth + 1);
    }
}

std::wstring randomText(fuzz::Random& random, std::size_t maximum)
{
    std::wstring text;
    const std::size_t length = random.below(maximum + 1);
    for (std::size_t i = 0; i < length; ++i)
        text += random.anyCharacter();
    return text;
}

class ConditionFuzz : public ::testing::Test {
protected:
    LogUtils::PropertyMap map = properties();
    LogUtils::LogPropertiesOnMapImpl view{&map};
    FilterEvaluator evaluator;
    LogRecord record{".\\Fuzz", 1, LevelInfo, "zuAgent", nullptr};
    const std::uint64_t seed = fuzz::seedFromEnvironment(defaultSeed);
};

TEST_F(ConditionFuzz, GeneratedAndMutatedConditionsAnswerAsTheRulesSay)
{
    fuzz::Random random(seed);
    int trueAnswers = 0;
    for (int n = 0; n < 40000; ++n) {
        std::wstring text;
        switch (n % 4) {
        case 0:
        case 1:
            text = generatedCondition(random);
            break;
        case 2:
            text = validCondition(random);
            break;
        default:
            text = fuzz::mutate(random, validCondition(random), 1 + static_cast<int>(random.below(4)));
            break;
        }
        // The terminator ends the expression; one inside the text would only
        // cut it, so none is generated.
        const fuzz::GuardedText guarded(text);
        const bool expected = reference::ReferenceCondition(text, view).evaluate();
        const bool answer = evaluator.evaluateCondition(guarded.get(), record, &view);
        ASSERT_EQ(expected, answer) << "seed " << seed << " case " << n << ": \""
                                    << std::string(text.begin(), text.end()) << "\"";
        trueAnswers += answer;
    }
    // The generator must reach both answers often, or it tests little.
    EXPECT_GT(trueAnswers, 4000);
    EXPECT_LT(trueAnswers, 36000);
}

TEST_F(ConditionFuzz, RandomTextIsFalseOrParsedAndNeverReadPastItsEnd)
{
    fuzz::Random random(seed + 1);
    for (int n = 0; n < 20000; ++n) {
        const std::wstring text = randomText(random, 64);
        const fuzz::GuardedText guarded(text);
        const bool expected = reference::ReferenceCondition(text, view).evaluate();
        ASSERT_EQ(expected, evaluator.evaluateCondition(guarded.get(), record, &view))
            << "seed " << seed + 1 << " case " << n;
    }
}

TEST_F(ConditionFuzz, HugeAndDeepConditionsAnswerFalseWithoutExhaustingTheStack)
{
    // Deep nesting, long chains, long operands, a huge property name.
    const std::vector<std::wstring> texts = {
        std::wstring(100000, L'('),
        std::wstring(50000, L'(') + L"true" + std::wstring(50000, L')'),
        L"not " + std::wstring(20000, L'('),
        [] {
            std::wstring t = L"true";
            for (int i = 0; i < 20000; ++i)
                t += L" and true or false";
            return t;
        }(),
        L"\"" + std::wstring(100000, L'x') + L"\"==\"" + std::wstring(100000, L'x') + L"\"",
        L"<" + std::wstring(100000, L'a') + L">==\"x\"",
        std::wstring(100000, L' '),
        std::wstring(100000, L'"'),
        std::wstring(100000, L'<'),
    };
    const std::vector<bool> expected = {false, false, false, true, true, false,
                                        false, false, false};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const fuzz::GuardedText guarded(texts[i]);
        EXPECT_EQ(expected[i], evaluator.evaluateCondition(guarded.get(), record, &view))
            << "case " << i;
    }
    // A chain long enough to matter still answers: the deepest nesting that
    // is accepted works.
    const std::wstring nested = std::wstring(FilterEvaluator::maximumNesting, L'(') + L"true" +
                                std::wstring(FilterEvaluator::maximumNesting, L')');
    const fuzz::GuardedText guarded(nested);
    EXPECT_TRUE(evaluator.evaluateCondition(guarded.get(), record, &view));
}

TEST_F(ConditionFuzz, NullPropertiesAndNullExpression)
{
    fuzz::Random random(seed + 2);
    EXPECT_TRUE(evaluator.evaluateCondition(nullptr, record, nullptr));
    for (int n = 0; n < 2000; ++n) {
        const std::wstring text = validCondition(random);
        const fuzz::GuardedText guarded(text);
        // Without properties every reference is unset.
        LogUtils::PropertyMap empty;
        LogUtils::LogPropertiesOnMapImpl none(&empty);
        ASSERT_EQ(reference::ReferenceCondition(text, none).evaluate(),
                  evaluator.evaluateCondition(guarded.get(), record, nullptr))
            << "case " << n;
    }
}

// --- Filters ---

// The filter rules read directly.
bool referencePatternMatches(const std::wstring& pattern, const std::wstring& component, int level)
{
    const std::size_t dot = pattern.find(L'.');
    if (dot == std::wstring::npos)
        return false;
    const std::wstring part = pattern.substr(0, dot);
    if (!part.empty() && part != L"*") {
        if (component.size() < part.size() ||
            _wcsnicmp(component.c_str(), part.c_str(), part.size()) != 0)
            return false;
    }
    // The level part in the thread's code page, as the evaluator reads it.
    const std::wstring levelPart = pattern.substr(dot + 1);
    std::string narrow(levelPart.size() * 4 + 1, '\0');
    int bytes = 0;
    if (!levelPart.empty()) {
        bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, levelPart.c_str(),
                                    static_cast<int>(levelPart.size()), &narrow[0],
                                    static_cast<int>(narrow.size()), nullptr, nullptr);
        if (bytes <= 0)
            return level <= LevelDebug;
    }
    narrow.resize(static_cast<std::size_t>(bytes));
    int limit = LevelDebug;
    for (int i = 0; i < logLevelCount; ++i) {
        const std::string name = logLevelNames[i];
        bool prefix = narrow.size() <= name.size();
        for (std::size_t k = 0; prefix && k < narrow.size(); ++k)
            prefix = std::tolower(static_cast<unsigned char>(narrow[k])) ==
                     std::tolower(static_cast<unsigned char>(name[k]));
        if (prefix) {
            limit = i;
            break;
        }
    }
    return level <= limit;
}

bool referenceFilter(const std::wstring& filter, const std::wstring& component, int level)
{
    bool matched = false;
    std::size_t p = 0;
    for (;;) {
        while (p < filter.size() && filter[p] == L' ')
            ++p;
        if (p >= filter.size())
            break;
        const std::size_t end = std::min(filter.find(L' ', p), filter.size());
        const std::wstring token = filter.substr(p, end - p);
        p = end;
        if (token[0] == L'~') {
            if (referencePatternMatches(token.substr(1), component, level))
                return false;
        } else if (!matched && referencePatternMatches(token, component, level)) {
            matched = true;
        }
    }
    return matched;
}

TEST_F(ConditionFuzz, FiltersAnswerAsTheRulesSay)
{
    static const std::vector<std::wstring> patterns = {
        L"*.Info", L"*.Notice", L"~kwAgent.Info", L"zu.Debug", L".Info", L"*.", L"*.Verbose",
        L"Info", L"~", L"zuAgent.Error", L"*.E", L"kw.warn", L"~*.Debug", L"a.b.c", L"*.info\t",
        L"ZUAGENT.crit", L"~zu.", L"QuarvelOASDetection.Debug", L"*.Emergency", L"*.alertx",
        L"\u00e9.Info", L"~.", L"zuAgentX.Info", L"*", L"..", L"*.\u00e9"};
    static const std::vector<std::string> components = {
        "zuAgent", "kwAgentUpdate", "OrnShExt", "ZUINSTALL", "zuAgen", "", "QuarvelOASDetection",
        "zu", "\xe9t\xe9"};
    fuzz::Random random(seed + 3);
    int passed = 0;
    for (int n = 0; n < 70000; ++n) {
        std::wstring filter;
        if (n % 3 == 2) {
            filter = fuzz::mutate(random, random.pick(patterns) + L" " + random.pick(patterns),
                                  1 + static_cast<int>(random.below(3)));
        } else {
            const std::size_t count = random.below(5);
            for (std::size_t i = 0; i < count; ++i)
                filter += std::wstring(random.below(3), L' ') + random.pick(patterns);
            filter += std::wstring(random.below(2), L' ');
        }
        const std::string& component = random.pick(components);
        record.component = component.c_str();
        record.level = static_cast<int>(random.below(logLevelCount));
        // The component as the evaluator reads it, in the thread's code page.
        wchar_t wide[64] = {};
        MultiByteToWideChar(CP_THREAD_ACP, 0, component.c_str(), -1, wide, 64);
        const fuzz::GuardedText guarded(filter);
        const bool expected = referenceFilter(filter, wide, record.level);
        const bool answer = evaluator.evaluateFilter(guarded.get(), record, &view);
        ASSERT_EQ(expected, answer) << "seed " << seed + 3 << " case " << n << ": \""
                                    << std::string(filter.begin(), filter.end()) << "\" "
                                    << component << " level " << record.level;
        // The form the manager routes with answers the same.
        ASSERT_EQ(expected, LogUtils::CompiledFilter(guarded.get()).matches(record))
            << "compiled, seed " << seed + 3 << " case " << n;
        passed += answer;
    }
    EXPECT_GT(passed, 7000);
    EXPECT_LT(passed, 63000);
    std::printf("filters: 70000 generated and mutated, %d passed\n", passed);
}

TEST_F(ConditionFuzz, RandomAndHugeFiltersNeverReadPastTheirEnd)
{
    fuzz::Random random(seed + 4);
    record.component = "zuAgent";
    for (int n = 0; n < 30000; ++n) {
        const std::wstring text = randomText(random, 80);
        const fuzz::GuardedText guarded(text);
        record.level = static_cast<int>(random.below(logLevelCount));
        wchar_t wide[16] = {};
        MultiByteToWideChar(CP_THREAD_ACP, 0, record.component, -1, wide, 16);
        const bool expected = referenceFilter(text, wide, record.level);
        ASSERT_EQ(expected, evaluator.evaluateFilter(guarded.get(), record, &view))
            << "seed " << seed + 4 << " case " << n;
        ASSERT_EQ(expected, LogUtils::CompiledFilter(guarded.get()).matches(record))
            << "compiled, seed " << seed + 4 << " case " << n;
    }
    std::printf("filters: 30000 random\n");
    const std::vector<std::wstring> huge = {
        std::wstring(200000, L' '), std::wstring(200000, L'~'),
        L"*." + std::wstring(200000, L'I'), std::wstring(200000, L'z') + L".Info",
        [] {
            std::wstring t;
            for (int i = 0; i < 20000; ++i)
                t += L"~x.Info *.Debug ";
            return t;
        }()};
    const std::vector<bool> expected = {false, false, true, false, true};
    for (std::size_t i = 0; i < huge.size(); ++i) {
        const fuzz::GuardedText guarded(huge[i]);
        record.level = LevelInfo;
        EXPECT_EQ(expected[i], evaluator.evaluateFilter(guarded.get(), record, &view))
            << "case " << i;
    }
    // A component name longer than any usual one, and one that is not text
    // of the code page, still answer.
    const std::string longComponent(5000, 'z');
    record.component = longComponent.c_str();
    EXPECT_TRUE(evaluator.evaluateFilter(L"zzz.Info", record, &view));
    EXPECT_FALSE(evaluator.evaluateFilter(L"zuAgent.Info", record, &view));
    record.component = nullptr;
    EXPECT_TRUE(evaluator.evaluateFilter(L"*.Info", record, &view));
    EXPECT_FALSE(evaluator.evaluateFilter(L"zu.Info", record, &view));
}

}  // namespace
