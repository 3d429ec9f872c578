#pragma once
// The condition rules of the logging configuration read directly, as a
// reference the evaluator's parser is compared with: recursive descent with
// backtracking, whitespace skipped before every token. Shared by the test
// under Wine and the native fuzzer.

#include "LogConfiguration.h"

#include <cwchar>
#include <locale>
#include <string>

namespace reference {

class ReferenceCondition {
public:
    ReferenceCondition(const std::wstring& text, LookupableW& properties)
        : s_(text), properties_(properties)
    {
    }

    bool evaluate()
    {
        std::size_t p = 0;
        bool value = false;
        if (!expression(p, value))
            return false;
        skip(p);
        return p == s_.size() && value;
    }

private:
    struct Operand {
        bool set = false;
        std::wstring text;
    };

    static bool isSpace(wchar_t c)
    {
        return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
    }
    void skip(std::size_t& p) const
    {
        while (p < s_.size() && isSpace(s_[p]))
            ++p;
    }
    bool word(std::size_t& p, const wchar_t* w) const
    {
        std::size_t q = p;
        skip(q);
        const std::size_t n = std::wcslen(w);
        if (s_.compare(q, n, w) != 0 || q + n > s_.size())
            return false;
        p = q + n;
        return true;
    }
    bool expression(std::size_t& p, bool& v)
    {
        std::size_t q = p;
        if (!andExpression(q, v))
            return false;
        for (;;) {
            std::size_t r = q;
            bool b = false;
            if (!word(r, L"or") || !andExpression(r, b))
                break;
            v = v || b;
            q = r;
        }
        p = q;
        return true;
    }
    bool andExpression(std::size_t& p, bool& v)
    {
        std::size_t q = p;
        if (!unary(q, v))
            return false;
        for (;;) {
            std::size_t r = q;
            bool b = false;
            if (!word(r, L"and") || !unary(r, b))
                break;
            v = v && b;
            q = r;
        }
        p = q;
        return true;
    }
    bool unary(std::size_t& p, bool& v)
    {
        std::size_t q = p;
        bool b = false;
        if (word(q, L"not") && primary(q, b)) {
            p = q;
            v = !b;
            return true;
        }
        q = p;
        if (primary(q, v)) {
            p = q;
            return true;
        }
        return false;
    }
    bool primary(std::size_t& p, bool& v)
    {
        std::size_t q = p;
        if (word(q, L"true")) {
            p = q;
            v = true;
            return true;
        }
        q = p;
        if (word(q, L"false")) {
            p = q;
            v = false;
            return true;
        }
        q = p;
        if (word(q, L"(") && expression(q, v) && word(q, L")")) {
            p = q;
            return true;
        }
        q = p;
        Operand left, right;
        if (operand(q, left) && word(q, L"==") && operand(q, right)) {
            p = q;
            v = equal(left, right);
            return true;
        }
        return false;
    }
    bool delimited(std::size_t& p, wchar_t open, wchar_t close, std::wstring& inner) const
    {
        std::size_t q = p;
        skip(q);
        if (q >= s_.size() || s_[q] != open)
            return false;
        const std::size_t end = s_.find(close, q + 1);
        if (end == std::wstring::npos || end == q + 1)
            return false;
        inner = s_.substr(q + 1, end - q - 1);
        p = end + 1;
        return true;
    }
    bool operand(std::size_t& p, Operand& o)
    {
        std::wstring inner;
        if (delimited(p, L'"', L'"', inner)) {
            o.set = true;
            o.text = inner;
            return true;
        }
        if (delimited(p, L'<', L'>', inner)) {
            const wchar_t* value = properties_.getProperty(inner.c_str());
            o.set = value != nullptr;
            o.text = value ? value : L"";
            return true;
        }
        return false;
    }
    // A property that is not set equals nothing (the evaluator's choice).
    static bool equal(const Operand& a, const Operand& b)
    {
        if (!a.set || !b.set || a.text.size() != b.text.size())
            return false;
        const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
        for (std::size_t i = 0; i < a.text.size(); ++i) {
            if (ctype.toupper(a.text[i]) != ctype.toupper(b.text[i]))
                return false;
        }
        return true;
    }

    const std::wstring& s_;
    LookupableW& properties_;
};

}  // namespace reference
