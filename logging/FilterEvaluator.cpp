#include "FilterEvaluator.h"

#include "ConditionGrammar.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// The record's component in wide characters, converted with the thread's ANSI
// code page the first time a pattern needs it. Usual names need no heap.
class ComponentText {
public:
    explicit ComponentText(const char* component) : component_(component) {}
    ComponentText(const ComponentText&) = delete;
    ComponentText& operator=(const ComponentText&) = delete;

    const wchar_t* text()
    {
        if (!text_)
            convert();
        return text_;
    }
    std::size_t length()
    {
        text();
        return length_;
    }

private:
    void convert()
    {
        text_ = L"";
        length_ = 0;
        if (!component_ || !*component_)
            return;
        // Every ANSI code page maps the ASCII bytes to themselves, so the
        // usual names need no conversion call.
        std::size_t ascii = 0;
        while (ascii < sizeof inline_ / sizeof inline_[0] - 1 &&
               static_cast<unsigned char>(component_[ascii]) - 1u < 0x7fu) {
            inline_[ascii] = static_cast<wchar_t>(component_[ascii]);
            ++ascii;
        }
        if (!component_[ascii]) {
            inline_[ascii] = L'\0';
            text_ = inline_;
            length_ = ascii;
            return;
        }
        int count = MultiByteToWideChar(CP_THREAD_ACP, 0, component_, -1, inline_,
                                        static_cast<int>(sizeof inline_ / sizeof inline_[0]));
        if (count > 0) {
            text_ = inline_;
        } else {
            count = MultiByteToWideChar(CP_THREAD_ACP, 0, component_, -1, nullptr, 0);
            if (count <= 0)
                return;
            heap_.resize(static_cast<std::size_t>(count));
            if (MultiByteToWideChar(CP_THREAD_ACP, 0, component_, -1, &heap_[0], count) <= 0)
                return;
            text_ = heap_.c_str();
        }
        length_ = std::wcslen(text_);
    }

    const char* component_;
    const wchar_t* text_ = nullptr;
    std::size_t length_ = 0;
    wchar_t inline_[128];
    std::wstring heap_;
};

// The level a level part admits up to, as levelFromName gives it for the part
// in the thread's ANSI code page.
int levelLimit(const wchar_t* begin, const wchar_t* end)
{
    const std::ptrdiff_t length = end - begin;
    // No character becomes less than half a byte, and no level name is longer
    // than 13 characters: a longer part begins no name.
    if (length > 64)
        return LevelDebug;
    char narrow[4 * 64 + 1];
    int count = 0;
    if (length > 0) {
        count = WideCharToMultiByte(CP_THREAD_ACP, 0, begin, static_cast<int>(length), narrow,
                                    static_cast<int>(sizeof narrow - 1), nullptr, nullptr);
        if (count <= 0)
            return LevelDebug;
    }
    narrow[count] = '\0';
    return levelFromName(narrow);
}

bool isAscii(const wchar_t* begin, const wchar_t* end)
{
    for (; begin != end; ++begin) {
        if (*begin > 0x7f)
            return false;
    }
    return true;
}

// One pattern, component part "." level part. The component part is a
// case-blind prefix of the component; "*" or nothing stands for every
// component. limit is the level the level part admits up to, or -1 when it
// is still to be worked out.
struct PatternText {
    const wchar_t* component;
    std::size_t componentLength;
    bool anyComponent;
    const wchar_t* levelBegin;
    const wchar_t* levelEnd;
    int limit;
};

// False for a token without a dot: it matches nothing.
bool splitPattern(const wchar_t* begin, const wchar_t* end, PatternText& pattern)
{
    const wchar_t* dot = begin;
    while (dot != end && *dot != L'.')
        ++dot;
    if (dot == end)
        return false;
    pattern.component = begin;
    pattern.componentLength = static_cast<std::size_t>(dot - begin);
    pattern.anyComponent =
        pattern.componentLength == 0 || (pattern.componentLength == 1 && *begin == L'*');
    pattern.levelBegin = dot + 1;
    pattern.levelEnd = end;
    pattern.limit = -1;
    return true;
}

// Walks the patterns of a filter in order: tokens separated by blanks alone
// (a tab belongs to its token), a leading '~' marking an exclusion. Tokens
// without a dot match nothing and are passed over. visit(pattern, exclusion)
// answers false to stop the walk.
template <typename Visit>
void forEachPattern(const wchar_t* expression, Visit visit)
{
    const wchar_t* position = expression;
    for (;;) {
        while (*position == L' ')
            ++position;
        if (!*position)
            return;
        const wchar_t* begin = position;
        while (*position && *position != L' ')
            ++position;
        const bool exclusion = *begin == L'~';
        PatternText pattern;
        if (splitPattern(exclusion ? begin + 1 : begin, position, pattern) &&
            !visit(pattern, exclusion))
            return;
    }
}

// The level test and the component test are both pure, so the cheaper one
// goes first when the limit is known.
bool patternMatches(const PatternText& pattern, const LogRecord& record, ComponentText& component)
{
    if (pattern.limit >= 0 && record.level > pattern.limit)
        return false;
    if (!pattern.anyComponent) {
        if (component.length() < pattern.componentLength)
            return false;
        if (_wcsnicmp(component.text(), pattern.component, pattern.componentLength) != 0)
            return false;
    }
    return pattern.limit >= 0 || record.level <= levelLimit(pattern.levelBegin, pattern.levelEnd);
}

}  // namespace

bool FilterEvaluator::evaluateCondition(const wchar_t* expression, const LogRecord&,
                                        LookupableW* properties)
{
    return evaluateConditionText(expression, properties);
}

// Tokens are separated by blanks alone (a tab belongs to its token). An
// exclusion anywhere rejects the record; otherwise one matching positive
// pattern admits it.
bool FilterEvaluator::evaluateFilter(const wchar_t* expression, const LogRecord& record,
                                     LookupableW*)
{
    if (!expression)
        return true;
    ComponentText component(record.component);
    bool matched = false;
    bool excluded = false;
    forEachPattern(expression, [&](const PatternText& pattern, bool exclusion) {
        if (!exclusion && matched)
            return true;
        if (!patternMatches(pattern, record, component))
            return true;
        if (exclusion)
            excluded = true;
        else
            matched = true;
        return !excluded;
    });
    return matched && !excluded;
}

namespace LogUtils {

namespace {

// A compiled pattern as the matching reads it.
template <typename Pattern>
PatternText patternText(const std::wstring& text, const Pattern& pattern)
{
    const wchar_t* const base = text.c_str();
    PatternText result;
    result.component = base + pattern.componentBegin;
    result.componentLength = pattern.componentLength;
    result.anyComponent = pattern.anyComponent;
    result.levelBegin = base + pattern.levelBegin;
    result.levelEnd = result.levelBegin + pattern.levelLength;
    result.limit = pattern.level;
    return result;
}

}  // namespace

CompiledFilter::CompiledFilter(const wchar_t* expression)
    : present_(expression != nullptr), text_(expression ? expression : L"")
{
    const wchar_t* const base = text_.c_str();
    forEachPattern(base, [&](const PatternText& split, bool exclusion) {
        Pattern pattern;
        pattern.tokenBegin = static_cast<std::size_t>(split.component - base) - (exclusion ? 1 : 0);
        pattern.componentBegin = static_cast<std::size_t>(split.component - base);
        pattern.componentLength = split.componentLength;
        pattern.anyComponent = split.anyComponent;
        pattern.levelBegin = static_cast<std::size_t>(split.levelBegin - base);
        pattern.levelLength = static_cast<std::size_t>(split.levelEnd - split.levelBegin);
        // ASCII reads the same in every code page; a part too long to begin
        // a name is decided without converting it.
        pattern.level = isAscii(split.levelBegin, split.levelEnd) || pattern.levelLength > 64
                            ? levelLimit(split.levelBegin, split.levelEnd)
                            : -1;
        (exclusion ? exclusions_ : positives_).push_back(pattern);
        return true;
    });
}

// An exclusion anywhere rejects; one positive match admits. Which is tested
// first changes nothing, as no test has an effect.
bool CompiledFilter::matches(const LogRecord& record) const
{
    if (!present_)
        return true;
    ComponentText component(record.component);
    bool matched = false;
    for (const Pattern& pattern : positives_) {
        if (patternMatches(patternText(text_, pattern), record, component)) {
            matched = true;
            break;
        }
    }
    if (!matched)
        return false;
    for (const Pattern& pattern : exclusions_) {
        if (patternMatches(patternText(text_, pattern), record, component))
            return false;
    }
    return true;
}

bool CompiledFilter::decide(const LogRecord& record, std::wstring& deciding) const
{
    deciding.clear();
    if (!present_)
        return true;
    ComponentText component(record.component);
    const auto firstMatch = [&](const std::vector<Pattern>& patterns) -> const Pattern* {
        for (const Pattern& pattern : patterns) {
            if (patternMatches(patternText(text_, pattern), record, component))
                return &pattern;
        }
        return nullptr;
    };
    const auto token = [&](const Pattern& pattern) {
        const std::size_t end = pattern.levelBegin + pattern.levelLength;
        return text_.substr(pattern.tokenBegin, end - pattern.tokenBegin);
    };
    const Pattern* positive = firstMatch(positives_);
    // Without a positive match an exclusion that matches is still named.
    if (const Pattern* exclusion = firstMatch(exclusions_)) {
        deciding = token(*exclusion);
        return false;
    }
    if (!positive)
        return false;
    deciding = token(*positive);
    return true;
}

}  // namespace LogUtils
