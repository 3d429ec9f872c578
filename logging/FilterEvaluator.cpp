#include "FilterEvaluator.h"

#include "ConditionGrammar.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace LogUtils {

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
        if (!component_ || !*component_)
            return;
        // Every ANSI code page maps the ASCII bytes to themselves, so the
        // usual names need no conversion call.
        std::size_t ascii = 0;
        while (ascii < capacity - 1 && static_cast<unsigned char>(component_[ascii]) - 1u < 0x7fu) {
            inline_[ascii] = static_cast<wchar_t>(component_[ascii]);
            ++ascii;
        }
        if (!component_[ascii]) {
            inline_[ascii] = L'\0';
            text_ = inline_;
            length_ = ascii;
            return;
        }
        int count = MultiByteToWideChar(CP_THREAD_ACP, 0, component_, -1, inline_, capacity);
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

    static constexpr int capacity = 128;
    const char* component_;
    const wchar_t* text_ = nullptr;
    std::size_t length_ = 0;
    wchar_t inline_[capacity];
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

FilterPattern compilePattern(std::wstring token)
{
    FilterPattern pattern;
    pattern.token = std::move(token);
    pattern.exclusion = pattern.token[0] == L'~';
    const std::size_t begin = pattern.exclusion ? 1 : 0;
    const std::size_t dot = pattern.token.find(L'.', begin);
    pattern.hasDot = dot != std::wstring::npos;
    if (!pattern.hasDot)
        return pattern;
    pattern.componentLength = dot - begin;
    pattern.anyComponent = pattern.componentLength == 0 ||
                           (pattern.componentLength == 1 && pattern.token[begin] == L'*');
    const wchar_t* const level = pattern.levelPart();
    const wchar_t* const end = pattern.token.c_str() + pattern.token.size();
    // ASCII reads the same in every code page; a part too long to begin a
    // name is decided without converting it.
    bool ascii = true;
    for (const wchar_t* c = level; c != end; ++c)
        ascii = ascii && *c < 0x80;
    pattern.level = ascii || end - level > 64 ? levelLimit(level, end) : -1;
    return pattern;
}

// The level test and the component test are both pure, so the cheaper one
// goes first when the limit is known.
bool patternMatches(const FilterPattern& pattern, const LogRecord& record, ComponentText& component)
{
    if (!pattern.hasDot || (pattern.level >= 0 && record.level > pattern.level))
        return false;
    if (!pattern.anyComponent &&
        (component.length() < pattern.componentLength ||
         _wcsnicmp(component.text(), pattern.component(), pattern.componentLength) != 0))
        return false;
    if (pattern.level >= 0)
        return true;
    const wchar_t* const level = pattern.levelPart();
    return record.level <= levelLimit(level, pattern.token.c_str() + pattern.token.size());
}

}  // namespace

CompiledFilter::CompiledFilter(const wchar_t* expression)
    : present_(expression != nullptr), text_(expression ? expression : L"")
{
    for (std::size_t at = text_.find_first_not_of(L' '); at != std::wstring::npos;) {
        const std::size_t end = text_.find(L' ', at);
        patterns_.push_back(compilePattern(text_.substr(at, end - at)));
        at = text_.find_first_not_of(L' ', end);
    }
}

bool CompiledFilter::admits(const LogRecord& record, const FilterPattern** deciding) const
{
    if (deciding)
        *deciding = nullptr;
    if (!present_)
        return true;
    ComponentText component(record.component);
    const FilterPattern* admitting = nullptr;
    for (const FilterPattern& pattern : patterns_) {
        if (!pattern.exclusion && patternMatches(pattern, record, component)) {
            admitting = &pattern;
            break;
        }
    }
    if (!admitting)
        return false;
    for (const FilterPattern& pattern : patterns_) {
        if (pattern.exclusion && patternMatches(pattern, record, component)) {
            admitting = &pattern;
            break;
        }
    }
    if (deciding)
        *deciding = admitting;
    return !admitting->exclusion;
}

}  // namespace LogUtils

bool FilterEvaluator::evaluateCondition(const wchar_t* expression, const LogRecord&,
                                        LookupableW* properties)
{
    return evaluateConditionText(expression, properties);
}

bool FilterEvaluator::evaluateFilter(const wchar_t* expression, const LogRecord& record,
                                     LookupableW*)
{
    return LogUtils::CompiledFilter(expression).admits(record);
}
