#pragma once
// Appends one line per record to a log file that several processes share.
// The file is held open only for the append: writers of other processes
// exclude each other through the share mode and retry briefly; writers of
// this process take turns. A planted link is never written through
// (SafeLogFile.h).

#include "LogSink.h"

#include <windows.h>

namespace LogUtils {

class LogFileSink : public ILogSink {
public:
    static constexpr DWORD defaultMaximumSize = 0x200000;

    // path is not copied. Above maximumSize the file is archived (or, with
    // archive off, deleted) after the line that crossed it.
    LogFileSink(const wchar_t* path, DWORD maximumSize, bool archive)
        : path_(path), maximumSize_(maximumSize), archive_(archive)
    {
    }

    // False when the line could not be appended now: the file could not be
    // opened, was refused as a link, had no end to be found, or the write
    // failed or stored only part of the line (which is then cut off again).
    // Such a line is kept (KeptLines.h) and written before this process's
    // next line to the file.
    bool write(ILogSinkStreamer& streamer) override;

    // Writes what is kept for every file, each in one write. With one
    // attempt a busy turn is passed over and nothing waits (the module's
    // unload, and process exit, where a turn a stopped thread held stays
    // taken for good); with more, turns are waited for and a held file is tried again
    // every 12 ms (a program's exit). With letGo, what is still refused then
    // is counted on the debugger output and forgotten. True while lines stay
    // kept. Throws nothing.
    static bool writeKept(int attempts, bool letGo) noexcept;

    // Whether a file that has grown to size by an append is rotated away.
    static bool isOverLimit(ULONGLONG size, DWORD maximumSize) { return size > maximumSize; }

    // Writers of one path in this process take turns; paths of the same turn
    // wait for each other's open, seek and write, never for a retry's
    // sleep.
    static unsigned turnOf(const wchar_t* path);

private:
    const wchar_t* path_;
    DWORD maximumSize_;
    bool archive_;
};

}  // namespace LogUtils
