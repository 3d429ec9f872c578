#pragma once
// Registry scripts, language folder names and bit masks are read digit by
// digit, each with its own limit on the count.

namespace orn {

// The value of a hexadecimal digit of either case; -1 for any other character.
constexpr int hexDigitValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

}  // namespace orn
