// The filter and condition engines the routing decides with, as example
// tables; the published evaluator must answer exactly as they do.
#include "ConditionGrammar.h"
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

std::string narrow(const wchar_t* text)
{
    return text ? std::string(text, text + std::wcslen(text)) : "(null)";
}

bool passes(const wchar_t* filter, const char* component, int level)
{
    return FilterEvaluator().evaluateFilter(filter, recordOf(component, level), nullptr);
}

// Each row: the filter, the record, whether it passes and the pattern that
// decides (null: none admits it).
TEST(FilterTest, PatternsDecideAsWritten)
{
    const struct {
        const wchar_t* filter;
        const char* component;
        int level;
        bool passes;
        const wchar_t* deciding;
    } rows[] = {
        {nullptr, "OrnShExt", LevelDebug, true, nullptr},
        {L"", "OrnShExt", LevelEmergency, false, nullptr},
        {L"   ", "OrnShExt", LevelEmergency, false, nullptr},
        {L"~*.Debug", "OrnShExt", LevelEmergency, false, nullptr},
        // A level part admits its own level and every more severe one.
        {L"*.Info", "OrnShExt", LevelInfo, true, L"*.Info"},
        {L"*.Info", "OrnShExt", LevelDebug, false, nullptr},
        {L"*.Notice", "OrnShExt", LevelNotice, true, L"*.Notice"},
        {L"*.Notice", "OrnShExt", LevelInfo, false, nullptr},
        {L"*.warn", "OrnShExt", LevelWarning, true, L"*.warn"},
        {L"*.warn", "OrnShExt", LevelNotice, false, nullptr},
        // "E" begins "Emergency" before "Error"; an empty part is Emergency.
        {L"*.E", "OrnShExt", LevelEmergency, true, L"*.E"},
        {L"*.E", "OrnShExt", LevelAlert, false, nullptr},
        {L"*.", "OrnShExt", LevelAlert, false, nullptr},
        {L"*.Verbose", "OrnShExt", LevelDebug, true, L"*.Verbose"},
        {L"*.\u00e9", "OrnShExt", LevelDebug, true, L"*.\u00e9"},
        {L".Info", "x", LevelInfo, true, L".Info"},
        // An exclusion anywhere overrides a positive match.
        {L"*.Info ~kwAgent.Info", "kwAgentUpdate", LevelInfo, false, L"~kwAgent.Info"},
        {L"~kwAgent.Info *.Info", "kwAgentUpdate", LevelInfo, false, L"~kwAgent.Info"},
        {L"*.Info ~kwAgent.Info", "zuAgent", LevelWarning, true, L"*.Info"},
        {L"*.Info zu.Info ~zuAgent.Error", "zuAgent", LevelError, false, L"~zuAgent.Error"},
        {L"*.Info zu.Info ~zuAgent.Error", "zuAgent", LevelWarning, true, L"*.Info"},
        {L"*.Notice ~kwAgent.Info", "kwAgent", LevelInfo, false, nullptr},
        {L"*.Info ~*.Warning", "OrnShExt", LevelError, false, L"~*.Warning"},
        // The component part is a case-blind prefix; the star is a wildcard
        // only alone; a record without a component meets only wildcards.
        {L"zuAgent.Error", "zuAgen", LevelAlert, false, nullptr},
        {L"zuAgent.Error", "ZUAGENTSVC", LevelAlert, true, L"zuAgent.Error"},
        {L"zu.Info", "ZUINSTALL", LevelInfo, true, L"zu.Info"},
        {L"zu.Info", "OrnShExt", LevelInfo, false, nullptr},
        {L"zu*.Info", "zuAgent", LevelInfo, false, nullptr},
        {L"**.Info", "zuAgent", LevelInfo, false, nullptr},
        {L"*.Info", nullptr, LevelInfo, true, L"*.Info"},
        {L"zu.Info", nullptr, LevelInfo, false, nullptr},
        {L"kw.Warning", "kwAgentUpdate", LevelInfo, false, nullptr},
        // Tokens split at blanks only: a tab belongs to its token, whose
        // level part then begins no name and admits every level.
        {L"Info", "OrnShExt", LevelEmergency, false, nullptr},
        {L"~", "OrnShExt", LevelEmergency, false, nullptr},
        {L"  ~  *.Info  ", "OrnShExt", LevelInfo, true, L"*.Info"},
        {L"*.Info\t*.Debug", "OrnShExt", LevelDebug, true, L"*.Info\t*.Debug"},
        {L"Info zu.Debug *.Info", "zuAgent", LevelDebug, true, L"zu.Debug"},
    };
    for (const auto& row : rows) {
        const LogRecord record = recordOf(row.component, row.level);
        const LogUtils::FilterPattern* deciding = nullptr;
        const LogUtils::CompiledFilter filter(row.filter);
        const bool answer = filter.admits(record, &deciding);
        EXPECT_EQ(row.passes, answer) << narrow(row.filter) << " " << row.level;
        EXPECT_EQ(narrow(row.deciding), deciding ? narrow(deciding->token.c_str()) : "(null)")
            << narrow(row.filter) << " " << row.level;
        EXPECT_EQ(row.passes, passes(row.filter, row.component, row.level)) << narrow(row.filter);
    }
}

TEST(FilterTest, LongComponentsAndPartsNeitherFailNorOverrun)
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
    // A component that is not ASCII is read in the thread's code page.
    wchar_t wide[8] = {};
    MultiByteToWideChar(CP_THREAD_ACP, 0, "\xe9t\xe9", -1, wide, 8);
    EXPECT_EQ(std::wstring(wide).rfind(L"\u00e9t", 0) == 0,
              passes(L"\u00e9t.Info", "\xe9t\xe9", LevelInfo));
}

// Each row: the condition and its answer, with activity "ZUINSTALL", a "y",
// " activity " "X", blank "", quoted 'x"' and nothing else set.
TEST(ConditionTest, ConditionsAnswerAsTheGrammarSays)
{
    const struct {
        const wchar_t* condition;
        bool value;
    } rows[] = {
        {nullptr, true},
        {L"", false},
        {L" \t\r\n\v\f", false},
        // Keywords are case-sensitive, with no word boundary after them.
        {L"true", true},
        {L"  false  ", false},
        {L"TRUE", false},
        {L"notfalse", true},
        {L"nottrue", false},
        {L"trueandtrue", true},
        {L"not(\"a\"==\"b\")", true},
        {L"\"x\"==\"x\"or\"y\"==\"z\"", true},
        // Only the six ASCII whitespace characters are skipped.
        {L"\t\ntrue\v\f\r and\rtrue\n", true},
        {L"\u00a0true", false},
        {L"true\u3000", false},
        // "or" binds loosest, then "and", then "not", which takes one primary.
        {L"true or true and false", true},
        {L"(true or true) and false", false},
        {L"false or true", true},
        {L"not true or false", false},
        {L"not not true", false},
        {L"not (not true)", true},
        {L"not <a>==\"x\"", true},
        // The whole input must be consumed; a keyword whose operand does not
        // parse is given back.
        {L"true and", false},
        {L"true or", false},
        {L"(true and)", false},
        {L"true xyz", false},
        {L"\"a\"==\"a\"==\"a\"", false},
        {L"(true", false},
        {L"true)", false},
        // Strings only in comparisons; no empty texts, no escapes, no "!=".
        {L"\"x\"", false},
        {L"<a>", false},
        {L"\"\"==\"\"", false},
        {L"<>==\"x\"", false},
        {L"<a>!=\"y\"", false},
        {L"\"a\\\"b\"==\"a\\\"b\"", false},
        {L"\" x\"==\"x\"", false},
        {L"\" x \"==\" X \"", true},
        // Comparisons ignore case; blanks inside brackets belong to the name.
        {L"<activity>==\"zuInstall\"", true},
        {L"<activity>==\"zuInstal\"", false},
        {L"< activity >==\"x\"", true},
        // A property that is not set equals nothing, not even another one or
        // an empty one; texts are equal only at equal lengths.
        {L"<missing>==\"x\"", false},
        {L"<missing>==<other>", false},
        {L"<missing>==<blank>", false},
        {L"<blank>==<blank>", true},
        {L"not <missing>==\"x\"", true},
        {L"<quoted>==\"x\"", false},
    };
    RecordingProperties properties;
    properties.values = {{L"activity", L"ZUINSTALL"}, {L"a", L"y"}, {L" activity ", L"X"},
                         {L"blank", L""}, {L"quoted", L"x\""}};
    FilterEvaluator evaluator;
    const LogRecord record = recordOf("OrnShExt", LevelInfo);
    for (const auto& row : rows) {
        EXPECT_EQ(row.value, evaluateConditionText(row.condition, &properties))
            << narrow(row.condition);
        EXPECT_EQ(row.value, evaluator.evaluateCondition(row.condition, record, &properties))
            << narrow(row.condition);
    }
    EXPECT_FALSE(evaluateConditionText(L"<a>==\"x\"", nullptr));
}

TEST(ConditionTest, EveryPropertyIsLookedUpWithItsNameAsWritten)
{
    RecordingProperties properties;
    properties.values[L"a"] = L"1";
    EXPECT_TRUE(evaluateConditionText(L"<a>==\"1\" or <b>==\"2\" or <c>==\"3\"", &properties));
    EXPECT_FALSE(evaluateConditionText(L"false and <d>==\"4\" and < e >==\"5\"", &properties));
    const std::vector<std::wstring> expected = {L"a", L"b", L"c", L"d", L" e "};
    EXPECT_EQ(expected, properties.asked);
}

TEST(ConditionTest, LongAndMalformedInputsAnswerWithoutFailing)
{
    RecordingProperties properties;
    const auto holds = [&](const std::wstring& text) {
        return evaluateConditionText(text.c_str(), &properties);
    };
    // Deep nesting is refused rather than allowed to exhaust the stack.
    const int limit = FilterEvaluator::maximumNesting;
    EXPECT_TRUE(holds(std::wstring(limit, L'(') + L"true" + std::wstring(limit, L')')));
    for (std::size_t depth : {std::size_t(limit + 1), std::size_t(200000)}) {
        EXPECT_FALSE(holds(std::wstring(depth, L'(') + L"true" + std::wstring(depth, L')')));
        EXPECT_FALSE(holds(std::wstring(depth, L'(')));
    }
    // Parentheses inside strings and names do not count as nesting.
    properties.values[L"p"] = std::wstring(1000, L'(');
    EXPECT_TRUE(holds(L"\"" + std::wstring(1000, L'(') + L"\"==<p>"));
    properties.values[std::wstring(1000, L'(')] = L"v";
    EXPECT_TRUE(holds(L"<" + std::wstring(1000, L'(') + L">==\"V\""));

    std::wstring chain = L"true";
    for (int i = 0; i < 50000; ++i)
        chain += L" and true or false";
    EXPECT_TRUE(holds(chain));
    EXPECT_FALSE(holds(chain + L" and"));

    const std::wstring longText(300000, L'x');
    EXPECT_TRUE(holds(L"\"" + longText + L"\"==\"" + longText + L"\""));
    for (const std::wstring& text :
         {L"\"" + longText, L"<" + longText, L"<" + longText + L">==\"x\"",
          std::wstring(100000, L'"'), std::wstring(100000, L'<'), std::wstring(100000, L'n')})
        EXPECT_FALSE(holds(text));
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
    EXPECT_TRUE(evaluateConditionText(nested.c_str(), &probe));
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
            RecordingProperties properties;
            properties.values[L"activity"] = t % 2 ? L"zuInstall" : L"zuAgent";
            const wchar_t* const condition =
                L"<activity>==\"zuInstall\" or <activity>==\"zuUninstall\"";
            for (int i = 0; i < 2000; ++i) {
                properties.asked.clear();
                if (evaluateConditionText(condition, &properties) != (t % 2 == 1))
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
