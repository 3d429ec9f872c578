#include "KeptLines.h"

#include "LogFileSink.h"
#include "SafeLogFile.h"
#include "UniqueResource.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <vector>

namespace LogUtils {

namespace {

struct KeptFile {
    std::wstring path;
    std::deque<std::string> lines;
    std::size_t bytes = 0;
    unsigned long lost = 0;
};

constexpr unsigned slots = 64;

std::atomic<std::size_t> keptBytes{0};
std::atomic<std::size_t> keptLines{0};
// Files with lines kept or lost: the steady state's only look. A slot's own
// entries are counted under its turn, so its holder never misses them.
std::atomic<std::size_t> keptFiles{0};

bool samePath(const std::wstring& kept, const wchar_t* path)
{
    const int length = static_cast<int>(kept.size());
    return static_cast<int>(wcslen(path)) == length &&
           CompareStringOrdinal(kept.c_str(), length, path, length, TRUE) == CSTR_EQUAL;
}

std::string lostNote(unsigned long lost)
{
    char note[96];
    const int length = std::snprintf(note, sizeof note,
                                     "Logging: %lu lines lost: the file was held by another "
                                     "process\r\n",
                                     lost);
    return std::string(note, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// What goes before the file's next line: the note of lines lost, if any,
// then the kept lines in their order.
std::string keptText(const KeptFile& file, std::size_t room)
{
    std::string text;
    text.reserve(file.bytes + 96 + room);
    if (file.lost)
        text += lostNote(file.lost);
    for (const std::string& line : file.lines)
        text += line;
    return text;
}

// Written out when the module unloads, as far as the files let it: a process
// going away has no later line to wait for, so each file gets more attempts
// than a line does (about half a second), then its lines go with the process.
class KeptTable {
public:
    KeptTable()
    {
        // Made first, so that it is still there when the table is flushed.
        logFileSecurityAttributes();
    }
    ~KeptTable()
    {
        for (unsigned slot = 0; slot < slots; ++slot) {
            for (const KeptFile& file : files[slot])
                append(file.path.c_str(), keptText(file, 0));
        }
    }
    KeptTable(const KeptTable&) = delete;
    KeptTable& operator=(const KeptTable&) = delete;

    static constexpr int unloadAttempts = 40;
    std::vector<KeptFile> files[slots];

private:
    // No rotation here: the cabinet library may be gone already at unload;
    // the next line written rotates the file if it is over its limit.
    static void append(const wchar_t* path, const std::string& text)
    {
        for (int attempt = 1; attempt <= unloadAttempts; ++attempt) {
            const orn::unique_file file(openLogFile(path, LogFileUse::append));
            if (file) {
                SetFilePointer(file.get(), 0, nullptr, FILE_END);
                DWORD written = 0;
                WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                          nullptr);
                return;
            }
            if (GetLastError() != ERROR_SHARING_VIOLATION)
                return;
            Sleep(LogFileSink::retryDelayMilliseconds);
        }
    }
};

KeptTable& table()
{
    static KeptTable kept;
    return kept;
}

}  // namespace

void KeptLines::keep(unsigned slot, const wchar_t* path, std::string&& line)
{
    std::vector<KeptFile>& files = table().files[slot % slots];
    KeptFile* file = nullptr;
    for (KeptFile& candidate : files) {
        if (samePath(candidate.path, path)) {
            file = &candidate;
            break;
        }
    }
    if (!file) {
        files.emplace_back();
        file = &files.back();
        file->path = path;
        ++keptFiles;
    }
    const std::size_t size = line.size();
    file->lines.push_back(std::move(line));
    file->bytes += size;
    keptBytes += size;
    ++keptLines;
    // The oldest go first; the newest line itself may go when it alone is
    // over the bounds.
    while (!file->lines.empty() && (file->bytes > perFileBytes || keptBytes > totalBytes)) {
        const std::size_t oldest = file->lines.front().size();
        file->lines.pop_front();
        file->bytes -= oldest;
        keptBytes -= oldest;
        --keptLines;
        ++file->lost;
    }
}

bool KeptLines::takeInto(unsigned slot, const wchar_t* path, std::string& text)
{
    if (keptFiles.load(std::memory_order_relaxed) == 0)
        return false;
    std::vector<KeptFile>& files = table().files[slot % slots];
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!samePath(it->path, path))
            continue;
        std::string kept = keptText(*it, text.size());
        kept += text;
        text.swap(kept);
        keptBytes -= it->bytes;
        keptLines -= it->lines.size();
        files.erase(it);
        --keptFiles;
        return true;
    }
    return false;
}

std::size_t KeptLines::count()
{
    return keptLines.load();
}

}  // namespace LogUtils
