#pragma once
// Lines a file sink could not append because another process held the file
// through every attempt. They are kept in memory, per file, and go in their
// order before the next line this process appends to that file, or at module
// unload. Memory stays bounded: past the bounds the oldest kept lines go, and
// the next append starts with one line saying how many.

#include <windows.h>

#include <cstddef>
#include <string>

namespace LogUtils {

class KeptLines {
public:
    static constexpr std::size_t perFileBytes = 64 * 1024;
    static constexpr std::size_t totalBytes = 1024 * 1024;

    // The caller holds the turn of path's slot (LogFileSink::turnOf) for
    // keep and takeInto, which touch that slot only.
    static void keep(unsigned slot, const wchar_t* path, std::string&& line);
    // Appends what is kept for path to text, the note of lost lines first,
    // and forgets it. False, without allocating, when nothing is kept.
    static bool takeInto(unsigned slot, const wchar_t* path, std::string& text);

    // Lines kept now, in all files (for tests and reports).
    static std::size_t count();
};

}  // namespace LogUtils
