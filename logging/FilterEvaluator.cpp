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

// One pattern, component part "." level part, against the record. The
// component part is a case-blind prefix of the component; "*" or nothing
// stands for every component.
bool patternMatches(const wchar_t* begin, const wchar_t* end, const LogRecord& record,
                    ComponentText& component)
{
    const wchar_t* dot = begin;
    while (dot != end && *dot != L'.')
        ++dot;
    if (dot == end)
        return false;
    const std::size_t partLength = static_cast<std::size_t>(dot - begin);
    const bool anyComponent = partLength == 0 || (partLength == 1 && *begin == L'*');
    if (!anyComponent) {
        if (component.length() < partLength)
            return false;
        if (_wcsnicmp(component.text(), begin, partLength) != 0)
            return false;
    }
    return record.level <= levelLimit(dot + 1, end);
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
    const wchar_t* position = expression;
    for (;;) {
        while (*position == L' ')
            ++position;
        if (!*position)
            break;
        const wchar_t* begin = position;
        while (*position && *position != L' ')
            ++position;
        if (*begin == L'~') {
            if (patternMatches(begin + 1, position, record, component))
                return false;
        } else if (!matched && patternMatches(begin, position, record, component)) {
            matched = true;
        }
    }
    return matched;
}
