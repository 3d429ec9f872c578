#pragma once
// Seeded inputs and guarded buffers for the hostile-input
// tests. Every run with the same seed makes the same inputs; a failure names
// the seed and the case number, and ORN_FUZZ_SEED replays another seed.

#include "Paths.h"
#include "UniqueResource.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

inline std::uint64_t seedFromEnvironment(std::uint64_t fallback)
{
    const char* text = std::getenv("ORN_FUZZ_SEED");
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed ? seed : 0x9e3779b97f4a7c15ull) {}

    std::uint64_t next()
    {
        // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // 0 .. bound-1
    std::size_t below(std::size_t bound) { return bound ? next() % bound : 0; }
    bool chance(unsigned percent) { return below(100) < percent; }

    template <typename T>
    const T& pick(const std::vector<T>& items)
    {
        return items[below(items.size())];
    }

    // Any 16-bit unit but the terminator, ASCII more often than the rest.
    wchar_t anyCharacter()
    {
        switch (below(4)) {
        case 0:
            return static_cast<wchar_t>(1 + below(0x7f));
        case 1:
            return static_cast<wchar_t>(0x20 + below(0x5f));
        case 2:
            return static_cast<wchar_t>(1 + below(0xffff));
        default:
            return L" \t\r\n\v\f\"<>()=.~*[];"[below(17)];
        }
    }

private:
    std::uint64_t state_;
};

// Inserts, deletes, replaces, duplicates and cuts pieces of a text.
template <typename Text>
Text mutate(Random& random, Text text, int rounds)
{
    using Char = typename Text::value_type;
    for (int i = 0; i < rounds; ++i) {
        const std::size_t at = random.below(text.size() + 1);
        switch (random.below(6)) {
        case 0:
            text.insert(text.begin() + at, static_cast<Char>(random.anyCharacter()));
            break;
        case 1:
            if (at < text.size())
                text.erase(at, 1 + random.below(4));
            break;
        case 2:
            if (at < text.size())
                text[at] = static_cast<Char>(random.anyCharacter());
            break;
        case 3:
            if (!text.empty()) {
                const std::size_t from = random.below(text.size());
                const Text piece = text.substr(from, 1 + random.below(16));
                text.insert(at, piece);
            }
            break;
        case 4:
            text.resize(at);
            break;
        default:
            if (at < text.size())
                text[at] = static_cast<Char>(text[at] ^ (1u << random.below(8)));
            // A terminator inside would only cut the text.
            if (at < text.size() && text[at] == 0)
                text[at] = static_cast<Char>('?');
            break;
        }
    }
    return text;
}

// A terminated wide text whose terminator is the last character before an
// inaccessible page: a read past the terminator faults at once.
class GuardedText {
public:
    explicit GuardedText(const std::wstring& text)
    {
        const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        const std::size_t dataPages = (bytes + page - 1) / page;
        size_ = (dataPages + 1) * page;
        base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, size_, MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + dataPages * page, page, PAGE_NOACCESS, &old);
        text_ = reinterpret_cast<wchar_t*>(base_ + dataPages * page - bytes);
        text.copy(text_, text.size());
        text_[text.size()] = L'\0';
    }
    ~GuardedText() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedText(const GuardedText&) = delete;
    GuardedText& operator=(const GuardedText&) = delete;

    wchar_t* get() const { return text_; }

private:
    BYTE* base_ = nullptr;
    std::size_t size_ = 0;
    wchar_t* text_ = nullptr;
};

// An empty folder of the build tree's test output for one test.
inline std::wstring outputFolder(const wchar_t* name)
{
    const std::wstring root = testsupport::binaryDir().wstring() + L"\\tests\\fuzz\\output";
    CreateDirectoryW(root.c_str(), nullptr);
    const std::wstring folder = root + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace fuzz
