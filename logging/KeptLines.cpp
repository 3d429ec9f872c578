#include "KeptLines.h"

#include "SafeLogFile.h"

#include <atomic>
#include <deque>

namespace LogUtils {

namespace {

// Why lines were refused, as the notes name it: the order of the notes.
enum Cause { held, full, denied, noFolder, behind, other, causeCount };

Cause causeOf(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:  // a reader's lock on a range of the file
        return held;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return full;
    case ERROR_ACCESS_DENIED:  // also a read-only file and a name pending deletion
        return denied;
    case ERROR_PATH_NOT_FOUND: return noFolder;
    default: return other;
    }
}

struct KeptFile {
    std::wstring path;
    std::deque<std::string> lines;
    std::size_t bytes = 0;
    unsigned long lost[causeCount] = {};
    // The refusal that keeps the lines now, and the system error of the last
    // one counted as other.
    Cause last = other;
    DWORD otherError = 0;
};

std::string reason(const KeptFile& file, Cause cause)
{
    switch (cause) {
    case held: return "the file was held by another process";
    case full: return "the volume was full";
    case denied: return "access to the file was denied";
    case noFolder: return "the file's folder was missing";
    case behind: return "the background writer fell behind";
    default: break;
    }
    return "the file could not be written (system error " + std::to_string(file.otherError) + ")";
}

constexpr unsigned slots = 64;
// The sink's writer of what is left, run at a program's normal exit.
std::atomic<void (*)()> exitWriter{nullptr};

std::atomic<std::size_t> keptBytes{0};
// Files with lines kept or lost: the steady state's only look. A slot's own
// entries are counted under its turn, so its holder never misses them.
std::atomic<std::size_t> keptFiles{0};

enum class Ending { notYet, unload, processExit };
std::atomic<Ending> ending{Ending::notYet};

// The store. Its entries are never destroyed at process exit, only given back
// at a module's unload.
class KeptTable {
public:
    KeptTable() : files(new std::vector<KeptFile>[slots])
    {
        // Made first, so that it is still there when a program's exit writes.
        logFileSecurityAttributes();
    }
    ~KeptTable()
    {
        switch (ending.load()) {
        case Ending::notYet:
            // A program's normal exit: no loader lock is held and its other
            // threads still run, so the writes may wait as a line's do.
            if (void (*const write)() = exitWriter.load())
                write();
            break;
        case Ending::unload: delete[] files; break;
        case Ending::processExit: break;
        }
    }
    KeptTable(const KeptTable&) = delete;
    KeptTable& operator=(const KeptTable&) = delete;

    std::vector<KeptFile>* const files;
};

std::vector<KeptFile>& filesIn(unsigned slot)
{
    static KeptTable kept;
    return kept.files[slot % slots];
}

std::vector<KeptFile>::iterator find(std::vector<KeptFile>& files, const wchar_t* path)
{
    const std::size_t length = wcslen(path);
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (it->path.size() == length &&
            CompareStringOrdinal(it->path.c_str(), static_cast<int>(length), path,
                                 static_cast<int>(length), TRUE) == CSTR_EQUAL)
            return it;
    }
    return files.end();
}

std::vector<KeptFile>::iterator add(std::vector<KeptFile>& files, const wchar_t* path)
{
    files.emplace_back();
    files.back().path = path;
    ++keptFiles;
    return files.end() - 1;
}

void erase(std::vector<KeptFile>& files, std::vector<KeptFile>::iterator file)
{
    keptBytes -= file->bytes;
    files.erase(file);
    --keptFiles;
}

}  // namespace

void KeptLines::keep(unsigned slot, const wchar_t* path, std::string&& line, DWORD error)
{
    std::vector<KeptFile>& files = filesIn(slot);
    auto file = find(files, path);
    if (file == files.end()) {
        if (line.empty())
            return;
        file = add(files, path);
    }
    file->last = causeOf(error);
    if (file->last == other)
        file->otherError = error;
    const std::size_t size = line.size();
    if (size) {
        file->lines.push_back(std::move(line));
        file->bytes += size;
        keptBytes += size;
    }
    // The oldest go first; the newest line itself may go when it alone is
    // over the bounds.
    while (!file->lines.empty() && (file->bytes > perFileBytes || keptBytes > totalBytes)) {
        const std::size_t oldest = file->lines.front().size();
        file->lines.pop_front();
        file->bytes -= oldest;
        keptBytes -= oldest;
        ++file->lost[file->last];
    }
}

void KeptLines::countLost(unsigned slot, const wchar_t* path, unsigned long lines)
{
    std::vector<KeptFile>& files = filesIn(slot);
    auto file = find(files, path);
    if (file == files.end())
        file = add(files, path);
    file->lost[behind] += lines;
}

bool KeptLines::textBefore(unsigned slot, const wchar_t* path, const std::string& line,
                           std::string& text)
{
    if (keptFiles.load(std::memory_order_relaxed) == 0)
        return false;
    std::vector<KeptFile>& files = filesIn(slot);
    const auto file = find(files, path);
    if (file == files.end())
        return false;
    text.reserve(file->bytes + causeCount * 96 + line.size());
    for (int cause = 0; cause < causeCount; ++cause) {
        if (file->lost[cause])
            text += "Logging: " + std::to_string(file->lost[cause]) +
                    " lines lost: " + reason(*file, static_cast<Cause>(cause)) + "\r\n";
    }
    for (const std::string& kept : file->lines)
        text += kept;
    text += line;
    return true;
}

void KeptLines::forget(unsigned slot, const wchar_t* path)
{
    std::vector<KeptFile>& files = filesIn(slot);
    const auto file = find(files, path);
    if (file != files.end())
        erase(files, file);
}

std::vector<std::wstring> KeptLines::filesOf(unsigned slot)
{
    std::vector<std::wstring> paths;
    for (const KeptFile& file : filesIn(slot))
        paths.push_back(file.path);
    return paths;
}

void KeptLines::letGo(unsigned slot, const wchar_t* path)
{
    std::vector<KeptFile>& files = filesIn(slot);
    const auto file = find(files, path);
    if (file == files.end())
        return;
    char name[4 * MAX_PATH];
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, name, sizeof name, nullptr, nullptr) <= 0)
        name[0] = '\0';
    file->lost[file->last] += static_cast<unsigned long>(file->lines.size());
    for (int cause = 0; cause < causeCount; ++cause) {
        if (!file->lost[cause])
            continue;
        const std::string text =
            "Logging: " + std::to_string(file->lost[cause]) + " lines for \"" + name +
            "\" lost at unload: " + reason(*file, static_cast<Cause>(cause)) + "\n";
        OutputDebugStringA(text.c_str());
    }
    erase(files, file);
}

bool KeptLines::anyKept()
{
    return keptFiles.load() != 0;
}

void KeptLines::prepare(void (*writeAtExit)())
{
    exitWriter = writeAtExit;
    filesIn(0);
}

void KeptLines::moduleDetached(bool processExit)
{
    ending = processExit ? Ending::processExit : Ending::unload;
}

}  // namespace LogUtils
