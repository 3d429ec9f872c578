#include "DefaultLogConfiguration.h"
#include "FilterEvaluator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Properties that remember every name asked for.
class RecordingProperties : public LookupableW {
public:
    const wchar_t* getProperty(const wchar_t* key) override
    {
        asked.push_back(key);
        const auto found = values.find(key);
        return found == values.end() ? nullptr : found->second.c_str();
    }
    std::map<std::wstring, std::wstring> values;
    std::vector<std::wstring> asked;
};

LogRecord recordOf(const char* component, int level)
{
    return LogRecord(".\\Test", 1, level, component, nullptr);
}

class FilterTest : public testing::Test {
protected:
    bool passes(const wchar_t* filter, const char* component, int level)
    {
        const LogRecord record = recordOf(component, level);
        return evaluator.evaluateFilter(filter, record, nullptr);
    }
    FilterEvaluator evaluator;
};

class ConditionTest : public testing::Test {
protected:
    bool holds(const wchar_t* condition)
    {
        const LogRecord record = recordOf("OrnShExt", LevelInfo);
        return evaluator.evaluateCondition(condition, record, &properties);
    }
    FilterEvaluator evaluator;
    RecordingProperties properties;
};

TEST_F(FilterTest, NullPassesButEmptyOrBlankAdmitsNothing)
{
    EXPECT_TRUE(passes(nullptr, "OrnShExt", LevelDebug));
    EXPECT_FALSE(passes(L"", "OrnShExt", LevelEmergency));
    EXPECT_FALSE(passes(L"   ", "OrnShExt", LevelEmergency));
    for (int level = 0; level < logLevelCount; ++level)
        EXPECT_FALSE(passes(L"~*.Debug", "OrnShExt", level)) << level;
}

TEST_F(FilterTest, LevelPartAdmitsItsLevelAndMoreSevereOnes)
{
    for (int level = 0; level < logLevelCount; ++level) {
        EXPECT_EQ(level <= LevelInfo, passes(L"*.Info", "OrnShExt", level)) << level;
        EXPECT_EQ(level <= LevelNotice, passes(L"*.Notice", "OrnShExt", level)) << level;
        EXPECT_EQ(level <= LevelWarning, passes(L"*.warn", "OrnShExt", level)) << level;
        // "E" begins "Emergency" before "Error"; nothing begins every name.
        EXPECT_EQ(level == 0, passes(L"*.E", "OrnShExt", level)) << level;
        EXPECT_EQ(level == 0, passes(L"*.", "OrnShExt", level)) << level;
        EXPECT_TRUE(passes(L"*.Verbose", "OrnShExt", level)) << level;
        EXPECT_TRUE(passes(L".Info", "x", level) == (level <= LevelInfo)) << level;
    }
}

TEST_F(FilterTest, ExclusionOverridesPositiveMatchInEitherOrder)
{
    for (const wchar_t* filter : {L"*.Info ~kwAgent.Info", L"~kwAgent.Info *.Info"}) {
        EXPECT_FALSE(passes(filter, "kwAgentUpdate", LevelInfo)) << filter;
        EXPECT_TRUE(passes(filter, "zuAgent", LevelWarning)) << filter;
    }
    // Once matched, later exclusions still count.
    EXPECT_FALSE(passes(L"*.Info zu.Info ~zuAgent.Error", "zuAgent", LevelError));
    EXPECT_TRUE(passes(L"*.Info zu.Info ~zuAgent.Error", "zuAgent", LevelWarning));
}

TEST_F(FilterTest, ComponentPartIsACaseBlindPrefix)
{
    EXPECT_FALSE(passes(L"zuAgent.Error", "zuAgen", LevelAlert));
    EXPECT_TRUE(passes(L"zuAgent.Error", "ZUAGENTSVC", LevelAlert));
    EXPECT_TRUE(passes(L"zu.Info", "ZUINSTALL", LevelInfo));
    EXPECT_FALSE(passes(L"zu.Info", "OrnShExt", LevelInfo));
    // The star is a wildcard only on its own.
    EXPECT_FALSE(passes(L"zu*.Info", "zuAgent", LevelInfo));
    EXPECT_FALSE(passes(L"**.Info", "zuAgent", LevelInfo));
    // A record without a component meets only wildcards.
    EXPECT_TRUE(passes(L"*.Info", nullptr, LevelInfo));
    EXPECT_FALSE(passes(L"zu.Info", nullptr, LevelInfo));
}

TEST_F(FilterTest, TokensSplitAtBlanksOnly)
{
    EXPECT_FALSE(passes(L"Info", "OrnShExt", LevelEmergency));
    EXPECT_FALSE(passes(L"~", "OrnShExt", LevelEmergency));
    EXPECT_TRUE(passes(L"  ~  *.Info  ", "OrnShExt", LevelInfo));
    // A tab joins "*.Info" and "*.Debug" into one token whose level part
    // begins no name, so it admits every level.
    EXPECT_TRUE(passes(L"*.Info\t*.Debug", "OrnShExt", LevelDebug));
}

TEST_F(FilterTest, LongComponentsAndPartsNeitherFailNorOverrun)
{
    const std::string longComponent(5000, 'k');
    const std::wstring part(4000, L'k');
    EXPECT_TRUE(passes((part + L".Info").c_str(), longComponent.c_str(), LevelInfo));
    EXPECT_FALSE(passes((part + L"x.Info").c_str(), longComponent.c_str(), LevelInfo));
    // A long level part begins no name: every level.
    EXPECT_TRUE(passes((L"*." + std::wstring(100000, L'I')).c_str(), "a", LevelDebug));
    std::wstring many;
    for (int i = 0; i < 20000; ++i)
        many += L"~x.Info ";
    many += L"*.Info";
    EXPECT_TRUE(passes(many.c_str(), "OrnShExt", LevelInfo));
}

TEST_F(ConditionTest, NullIsTrueAndEmptyIsFalse)
{
    EXPECT_TRUE(holds(nullptr));
    EXPECT_FALSE(holds(L""));
    EXPECT_FALSE(holds(L" \t\r\n\v\f"));
}

TEST_F(ConditionTest, KeywordsAreCaseSensitiveWithoutWordBoundary)
{
    EXPECT_TRUE(holds(L"true"));
    EXPECT_FALSE(holds(L"  false  "));
    EXPECT_FALSE(holds(L"TRUE"));
    EXPECT_TRUE(holds(L"notfalse"));
    EXPECT_FALSE(holds(L"nottrue"));
    EXPECT_TRUE(holds(L"trueandtrue"));
    EXPECT_TRUE(holds(L"not(\"a\"==\"b\")"));
    EXPECT_TRUE(holds(L"\"x\"==\"x\"or\"y\"==\"z\""));
}

TEST_F(ConditionTest, OnlyTheSixAsciiWhitespaceCharactersAreSkipped)
{
    EXPECT_TRUE(holds(L"\t\ntrue\v\f\r and\rtrue\n"));
    EXPECT_FALSE(holds(L"\u00a0true"));
    EXPECT_FALSE(holds(L"true\u3000"));
}

TEST_F(ConditionTest, PrecedenceAndNotOnce)
{
    EXPECT_TRUE(holds(L"true or true and false"));      // true or (true and false)
    EXPECT_FALSE(holds(L"(true or true) and false"));
    EXPECT_FALSE(holds(L"not true or false"));
    EXPECT_FALSE(holds(L"not not true"));
    EXPECT_TRUE(holds(L"not (not true)"));
    properties.values[L"a"] = L"y";
    EXPECT_TRUE(holds(L"not <a>==\"x\""));
}

TEST_F(ConditionTest, WholeInputMustBeConsumed)
{
    EXPECT_FALSE(holds(L"true and"));
    EXPECT_FALSE(holds(L"true or"));
    EXPECT_FALSE(holds(L"true xyz"));
    EXPECT_FALSE(holds(L"\"a\"==\"a\"==\"a\""));
    EXPECT_FALSE(holds(L"(true"));
    EXPECT_FALSE(holds(L"true)"));
}

TEST_F(ConditionTest, StringsOnlyInComparisons)
{
    properties.values[L"a"] = L"x";
    EXPECT_FALSE(holds(L"\"x\""));
    EXPECT_FALSE(holds(L"<a>"));
    EXPECT_FALSE(holds(L"\"\"==\"\""));
    EXPECT_FALSE(holds(L"<>==\"x\""));
    EXPECT_FALSE(holds(L"<a>!=\"y\""));
    // No escapes: the first quote after the opening one closes the string.
    EXPECT_FALSE(holds(L"\"a\\\"b\"==\"a\\\"b\""));
    // Blanks inside quotes and brackets belong to the text.
    EXPECT_FALSE(holds(L"\" x\"==\"x\""));
    EXPECT_TRUE(holds(L"\" x \"==\" X \""));
}

TEST_F(ConditionTest, ComparisonIgnoresCaseThroughTheProperties)
{
    properties.values[L"activity"] = L"ZUINSTALL";
    EXPECT_TRUE(holds(L"<activity>==\"zuInstall\""));
    EXPECT_FALSE(holds(L"<activity>==\"zuInstal\""));
    const wchar_t* const builtInOthers =
        L"not (<activity>==\"zuInstall\" or <activity>==\"zuUninstall\")";
    EXPECT_FALSE(holds(builtInOthers));
    properties.values[L"activity"] = L"zuuninstall";
    EXPECT_FALSE(holds(builtInOthers));
    properties.values[L"activity"] = L"zuAgent";
    EXPECT_TRUE(holds(builtInOthers));
}

TEST_F(ConditionTest, EveryPropertyIsLookedUpWithItsNameAsWritten)
{
    properties.values[L"a"] = L"1";
    EXPECT_TRUE(holds(L"<a>==\"1\" or <b>==\"2\" or <c>==\"3\""));
    EXPECT_FALSE(holds(L"false and <d>==\"4\" and < e >==\"5\""));
    const std::vector<std::wstring> expected = {L"a", L"b", L"c", L"d", L" e "};
    EXPECT_EQ(expected, properties.asked);
}

// A property that is not set equals nothing, not even another unset one.
TEST_F(ConditionTest, MissingPropertyMakesTheComparisonFalse)
{
    EXPECT_FALSE(holds(L"<missing>==\"x\""));
    EXPECT_FALSE(holds(L"<missing>==<other>"));
    EXPECT_TRUE(holds(L"not <missing>==\"x\""));
    LogRecord record = recordOf("OrnShExt", LevelInfo);
    EXPECT_FALSE(evaluator.evaluateCondition(L"<a>==\"x\"", record, nullptr));
}

TEST_F(ConditionTest, LongAndMalformedInputsAnswerWithoutFailing)
{
    // Deep nesting is refused rather than allowed to exhaust the stack.
    std::wstring nested = std::wstring(FilterEvaluator::maximumNesting, L'(') + L"true" +
                          std::wstring(FilterEvaluator::maximumNesting, L')');
    EXPECT_TRUE(holds(nested.c_str()));
    for (std::size_t depth : {std::size_t(FilterEvaluator::maximumNesting + 1), std::size_t(200000)}) {
        nested = std::wstring(depth, L'(') + L"true" + std::wstring(depth, L')');
        EXPECT_FALSE(holds(nested.c_str()));
        EXPECT_FALSE(holds(std::wstring(depth, L'(').c_str()));
    }
    // Parentheses inside strings and names do not count as nesting.
    properties.values[L"p"] = std::wstring(1000, L'(');
    EXPECT_TRUE(holds((L"\"" + std::wstring(1000, L'(') + L"\"==<p>").c_str()));
    properties.values[std::wstring(1000, L'(')] = L"v";
    EXPECT_TRUE(holds((L"<" + std::wstring(1000, L'(') + L">==\"V\"").c_str()));

    std::wstring chain = L"true";
    for (int i = 0; i < 50000; ++i)
        chain += L" and true or false";
    EXPECT_TRUE(holds(chain.c_str()));
    chain += L" and";
    EXPECT_FALSE(holds(chain.c_str()));

    const std::wstring longText(300000, L'x');
    EXPECT_TRUE(holds((L"\"" + longText + L"\"==\"" + longText + L"\"").c_str()));
    EXPECT_FALSE(holds((L"\"" + longText).c_str()));
    EXPECT_FALSE(holds((L"<" + longText).c_str()));
    EXPECT_FALSE(holds((L"<" + longText + L">==\"x\"").c_str()));
    EXPECT_FALSE(holds(std::wstring(100000, L'"').c_str()));
    EXPECT_FALSE(holds(std::wstring(100000, L'<').c_str()));
    EXPECT_FALSE(holds(std::wstring(100000, L'n').c_str()));

    // Random text built from the language's own pieces.
    const wchar_t* const pieces[] = {L"true", L"false", L"not", L"and", L"or", L"(", L")",
                                     L"==", L"\"", L"<", L">", L"\"a\"", L"<k>", L" ", L"\t",
                                     L"x", L"\u00e9", L"\xd800"};
    std::mt19937 random(1234);
    properties.values[L"k"] = L"A";
    for (int round = 0; round < 3000; ++round) {
        std::wstring text;
        const int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        holds(text.c_str());
    }
}

// The nesting limit is what keeps a hostile condition from exhausting the
// stack of whichever thread logs.
TEST(ConditionStack, DeepestNestingStaysWithinAModestStack)
{
    class StackProbe : public LookupableW {
    public:
        const wchar_t* getProperty(const wchar_t*) override
        {
            char here = 0;
            deepest = reinterpret_cast<std::uintptr_t>(&here);
            return L"v";
        }
        std::uintptr_t deepest = 0;
    } probe;
    char top = 0;
    const int depth = FilterEvaluator::maximumNesting;
    const std::wstring nested =
        std::wstring(depth, L'(') + L"<p>==\"v\"" + std::wstring(depth, L')');
    FilterEvaluator evaluator;
    const LogRecord record = recordOf("OrnShExt", LevelInfo);
    EXPECT_TRUE(evaluator.evaluateCondition(nested.c_str(), record, &probe));
    ASSERT_NE(0u, probe.deepest);
    const long used = static_cast<long>(reinterpret_cast<std::uintptr_t>(&top) - probe.deepest);
    std::printf("stack used at nesting %d: %ld bytes\n", depth, used);
    EXPECT_LT(used, 128 * 1024);
}

TEST(ConditionThreads, OneGrammarServesManyThreadsAtOnce)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            FilterEvaluator evaluator;
            RecordingProperties properties;
            properties.values[L"activity"] = t % 2 ? L"zuInstall" : L"zuAgent";
            const LogRecord record = recordOf("OrnShExt", LevelInfo);
            const wchar_t* const condition =
                L"<activity>==\"zuInstall\" or <activity>==\"zuUninstall\"";
            for (int i = 0; i < 2000; ++i) {
                properties.asked.clear();
                if (evaluator.evaluateCondition(condition, record, &properties) != (t % 2 == 1))
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
