#pragma once
// Lines a file sink could not append: another process held the file through
// every attempt, the volume was full, access was denied, the write failed.
// They are kept in memory, per file, and go in their order before the next
// line this process appends to that file. Memory stays bounded: past the
// bounds the oldest kept lines go, counted by the cause of the refusal that
// pushed them out, and the next append starts with one line per cause saying
// how many.
//
// Nothing leaves the store before the write that holds it succeeded. What is
// still kept when the logging library goes is written by LogFileSink::
// writeKept: by a work item the module's DllCanUnloadNow queues, by its
// DllMain at an unload and at process exit, or by the store's own end when a
// program exits normally.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace LogUtils {

class KeptLines {
public:
    static constexpr std::size_t perFileBytes = 64 * 1024;
    static constexpr std::size_t totalBytes = 1024 * 1024;

    // The caller holds the turn of path's slot (LogFileSink::turnOf) for
    // every call but anyKept and moduleDetached; each touches that slot only.

    // Keeps line (none when empty) behind what is kept for path, refused
    // with the system error given.
    static void keep(unsigned slot, const wchar_t* path, std::string&& line, DWORD error);
    // Counts lines the background writer's queue pushed out for path: noted
    // with the next write, as kept lines pushed out are.
    static void countLost(unsigned slot, const wchar_t* path, unsigned long lines);
    // The notes of lost lines, the kept lines and then line, into text; false,
    // without allocating or changing text, when nothing is kept for path.
    // Nothing is forgotten: forget does that once the text is written.
    static bool textBefore(unsigned slot, const wchar_t* path, const std::string& line,
                           std::string& text);
    static void forget(unsigned slot, const wchar_t* path);
    // The files of the slot with something kept.
    static std::vector<std::wstring> filesOf(unsigned slot);
    // Counts what is kept for path on the debugger output, as lost, and
    // forgets it.
    static void letGo(unsigned slot, const wchar_t* path);

    // Whether anything is kept, in any file.
    static bool anyKept();

    // Makes the store now, made before a caller's own statics; its end runs
    // writeAtExit at a program's normal exit to write what they leave.
    static void prepare(void (*writeAtExit)());

    // The module's entry point at its detach, where the loader lock is held,
    // once it has tried each file: the store's own end then writes nothing.
    // At an unload it gives back the store's memory; at process exit it
    // touches nothing, since threads stopped anywhere may have left it half
    // changed.
    static void moduleDetached(bool processExit);
};

}  // namespace LogUtils
