#pragma once
// Appends one line per record to a log file that several processes share.
// The file is held open only for the append: writers of other processes
// exclude each other through the share mode and retry briefly; writers of
// this process take turns, and the lines that arrive for a log while one of
// them writes it go out with that writer's next write, in one open. A
// planted link is never written through (SafeLogFile.h).
//
// A section with a "writedelay" trades safety for speed: its lines are
// queued and written by a background writer of the process's thread pool,
// in batches, at most that many milliseconds later. A killed process loses
// what is queued; an unload and an exit write it.

#include "LogSink.h"

#include <windows.h>

namespace LogUtils {

class LogFileSink : public ILogSink {
public:
    static constexpr DWORD defaultMaximumSize = 0x200000;

    // path is not copied. Above maximumSize the file is archived (or, with
    // archive off, deleted) after the line that crossed it. With a
    // writeDelay (milliseconds) the line is queued for the background writer.
    LogFileSink(const wchar_t* path, DWORD maximumSize, bool archive, DWORD writeDelay = 0)
        : path_(path), maximumSize_(maximumSize), archive_(archive), writeDelay_(writeDelay)
    {
    }

    // False when the line could not be appended now: the file could not be
    // opened, was refused as a link, had no end to be found, or the write
    // failed or stored only part of the line (which is then cut off again).
    // Such a line is kept (KeptLines.h) and written before this process's
    // next line to the file. A queued line is true.
    bool write(ILogSinkStreamer& streamer) override;

    // Writes what is queued for the background writer and then what is kept,
    // for every file, each in one write. With one
    // attempt a busy turn is passed over and nothing waits (the module's
    // unload, and process exit, where a turn a stopped thread held stays
    // taken for good); with more, turns are waited for and a held file is tried again
    // every 12 ms (a program's exit). With letGo, what is still refused then
    // is counted on the debugger output and forgotten. True while lines stay
    // kept or queued (linesWaiting). Throws nothing.
    static bool writeKept(int attempts, bool letGo) noexcept;

    // Whether lines of this process wait for a log: kept, or queued for the
    // background writer. A module stays loaded while they do.
    static bool linesWaiting() noexcept;

    // The module's entry point at its detach, once writeKept has tried each
    // file: at an unload the file sinks' memory is given back, at process exit
    // nothing is touched (KeptLines::moduleDetached).
    static void moduleDetached(bool processExit) noexcept;

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
    DWORD writeDelay_;
};

}  // namespace LogUtils
