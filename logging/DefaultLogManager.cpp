#include "DefaultLogManager.h"

#include "DefaultLogConfiguration.h"
#include "IniConfiguration.h"
#include "ProductKeys.h"
#include "SafeLogFile.h"

#include <memory>
#include <shlobj.h>
#include <shlwapi.h>

#include <ctime>
#include <cwchar>

namespace {

constexpr int propertyTextCapacity = 64;

// A REG_SZ or REG_EXPAND_SZ value that fits the buffer with its terminator.
bool readString(HKEY key, const wchar_t* name, wchar_t (&text)[propertyTextCapacity])
{
    DWORD type = 0;
    DWORD size = sizeof text;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(wchar_t) ||
        size % sizeof(wchar_t) != 0 || text[size / sizeof(wchar_t) - 1] != L'\0')
        return false;
    return true;
}

bool readDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD type = 0;
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof value;
}

// Last-write times are trusted to tell two versions of "logCfg.Ini" apart only
// beyond this: FAT keeps them to 2 seconds, and a same-size rewrite within one
// tick keeps both size and time.
constexpr ULONGLONG timeGranularity = 2 * 10000000ull;

ULONGLONG ticks(const FILETIME& time)
{
    return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// The configuration file as one metadata query sees it.
struct FileStamp {
    bool exists = false;
    ULONGLONG lastWrite = 0;
    ULONGLONG size = 0;

    bool operator==(const FileStamp& other) const
    {
        return exists == other.exists && lastWrite == other.lastWrite && size == other.size;
    }
    bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

FileStamp examine(const wchar_t* path)
{
    FileStamp stamp;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return stamp;
    stamp.exists = true;
    stamp.lastWrite = ticks(data.ftLastWriteTime);
    stamp.size = static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return stamp;
}

// "%s\\%s" of the folder and the file name; empty when it does not fit, and the
// built-in table then stays in force.
std::wstring configurationFilePath()
{
    wchar_t path[MAX_PATH + 1];
    const int length =
        std::swprintf(path, MAX_PATH + 1, L"%ls\\%ls", configDirectory.get(), L"logCfg.Ini");
    return length > 0 ? std::wstring(path, static_cast<std::size_t>(length)) : std::wstring();
}

struct close_change_notification {
    void operator()(HANDLE handle) const noexcept { FindCloseChangeNotification(handle); }
};

}  // namespace

// A change notification on the folder of "logCfg.Ini": signalled when a file
// there is created, deleted, renamed, written or resized, and so until it is
// asked for the next change. When the thread that last armed it ends, Windows
// ends its request and it fires once; the file is then only examined.
class DefaultLogManager::FolderWatch {
public:
    static std::shared_ptr<FolderWatch> open(const wchar_t* folder)
    {
        orn::unique_invalid_handle<close_change_notification> handle(FindFirstChangeNotificationW(
            folder, FALSE,
            FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                FILE_NOTIFY_CHANGE_LAST_WRITE));
        if (!handle)
            return nullptr;
        return std::make_shared<FolderWatch>(std::move(handle));
    }

    explicit FolderWatch(orn::unique_invalid_handle<close_change_notification>&& handle)
        : handle_(std::move(handle))
    {
    }

    HANDLE get() const { return handle_.get(); }

    // No change since the watch was last armed (a failed wait is not quiet).
    bool quiet() const { return WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT; }

    // Watches for the next change once the last one has been seen. Changes
    // recorded in between signal again at once; they happened before the
    // file is examined, so they are taken up now rather than by the next
    // record. False when the folder can no longer be watched (it was removed,
    // for one).
    bool rearm() const
    {
        for (int round = 0; round < 4 && !quiet(); ++round) {
            if (!FindNextChangeNotification(handle_.get()))
                return false;
        }
        return true;
    }

private:
    orn::unique_invalid_handle<close_change_notification> handle_;
};

// What records are routed with: one property set, the configuration in force
// and the routing decided from both. Built by one refresh and never changed
// after it is published.
struct DefaultLogManager::State {
    std::shared_ptr<const LogUtils::PropertyMap> properties;
    bool dropsTraces = false;  // "debugEnable" is "0"
    bool debugging = false;    // "debugEnable" is "1": "logCfg.Ini" applies if it exists
    std::wstring filePath;     // empty: the folder's path leaves no room for the name
    // While debugging, when the folder can be watched.
    std::shared_ptr<FolderWatch> watch;
    // The file when it was last examined, and whether a later change could
    // have kept that stamp.
    FileStamp stamp;
    bool racy = false;
    // Its reading, while it exists (kept while debugging is off, in case it
    // is still the same when debugging comes back).
    std::shared_ptr<IniFileContents> file;
    LogUtils::CompiledRouting routing;

    // Without a watch, while debugging, each record examines the file.
    bool polls() const { return debugging && !watch && !filePath.empty(); }
    bool fileUnchanged() const { return !racy && examine(filePath.c_str()) == stamp; }
    bool usesFile() const { return debugging && file; }
};

// Serializes the threads that build a new state; the others route on with the
// last one published.
class DefaultLogManager::RefreshLock {
public:
    enum Mode { wait, tryOnly };
    RefreshLock(CRITICAL_SECTION& section, Mode mode) : section_(section)
    {
        if (mode == wait) {
            EnterCriticalSection(&section_);
            held_ = true;
        } else {
            held_ = TryEnterCriticalSection(&section_) != FALSE;
        }
    }
    ~RefreshLock()
    {
        if (held_)
            LeaveCriticalSection(&section_);
    }
    RefreshLock(const RefreshLock&) = delete;
    RefreshLock& operator=(const RefreshLock&) = delete;
    explicit operator bool() const { return held_; }

private:
    CRITICAL_SECTION& section_;
    bool held_;
};

DefaultLogManager::DefaultLogManager()
    : changeEvent(CreateEventW(nullptr, FALSE, TRUE, nullptr))
{
    // Without the event every wait fails and every record refreshes: slower,
    // but still logging.
    InitializeCriticalSection(&refreshing_);
}

DefaultLogManager::~DefaultLogManager()
{
    DeleteCriticalSection(&refreshing_);
}

// While nothing changes a record pays one system call: a zero-timeout wait on
// the Log key's event and, while debugging, on the watch of the folder of
// "logCfg.Ini" (where that folder cannot be watched, a metadata query of the
// file as well).
void DefaultLogManager::log(LogRecord& record)
{
    std::shared_ptr<const State> current = std::atomic_load(&state_);
    HANDLE handles[2] = {changeEvent.get(), nullptr};
    DWORD count = 1;
    if (current && current->watch)
        handles[count++] = current->watch->get();
    const DWORD wait = WaitForMultipleObjects(count, handles, FALSE, 0);
    if (wait == WAIT_OBJECT_0 + 1 ||
        (wait == WAIT_TIMEOUT && current && current->polls() && !current->fileUnchanged())) {
        current = reconsider();
    } else if (wait != WAIT_TIMEOUT) {
        // Only the thread whose wait consumed the Log key's signal refreshes.
        refresh();
        current = std::atomic_load(&state_);
    }
    if (!current)
        current = firstState();
    if (current)
        routeWith(*current, record);
}

// A record that comes while another thread reads the first properties waits
// for them rather than being lost.
std::shared_ptr<const DefaultLogManager::State> DefaultLogManager::firstState()
{
    RefreshLock lock(refreshing_, RefreshLock::wait);
    if (!std::atomic_load(&state_))
        refresh();
    return std::atomic_load(&state_);
}

void DefaultLogManager::route(LogRecord& record)
{
    if (const std::shared_ptr<const State> current = std::atomic_load(&state_))
        routeWith(*current, record);
}

void DefaultLogManager::routeWith(const State& state, LogRecord& record)
{
    if (record.level == LevelDebug && state.dropsTraces)
        return;
    LogUtils::LogPropertiesOnMapImpl view(state.properties.get());
    state.routing.route(record, *this, view);
}

LogUtils::IFilterEvaluator* DefaultLogManager::getFilterEvaluator()
{
    return &filterEvaluator;
}

LogUtils::ILogFormatter* DefaultLogManager::getFormatter()
{
    return &LogUtils::logFormatter();
}

bool DefaultLogManager::forEachConfiguration(ConfigurationEnumeration::ActionType& action)
{
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    if (current && current->usesFile())
        return action(*current->file);
    return action(defaultLogConfiguration());
}

std::shared_ptr<const LogUtils::PropertyMap> DefaultLogManager::snapshot() const
{
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    return current ? current->properties : nullptr;
}

bool DefaultLogManager::routesWithConfigurationFile() const
{
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    return current && current->usesFile();
}

std::shared_ptr<const LogUtils::PropertyMap> DefaultLogManager::currentProperties()
{
    if (WaitForSingleObject(changeEvent.get(), 0) != WAIT_TIMEOUT)
        refresh();
    return snapshot();
}

void DefaultLogManager::refresh()
{
    RefreshLock lock(refreshing_, RefreshLock::wait);
    try {
        publish(readProperties());
    } catch (...) {
        // The signal is spent: the next record tries again.
        SetEvent(changeEvent.get());
        throw;
    }
}

std::shared_ptr<const LogUtils::PropertyMap> DefaultLogManager::readProperties()
{
    if (!logKey)
        OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_READ, logKey.put());

    auto map = std::make_shared<LogUtils::PropertyMap>();
    orn::unique_hkey values;
    OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_QUERY_VALUE, values.put());

    wchar_t activity[propertyTextCapacity];
    if (logKey) {
        // Armed before the values are read, so a change made while reading
        // still signals the next record.
        RegNotifyChangeKeyValue(logKey.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                changeEvent.get(), TRUE);
        if (!values || !readString(values.get(), L"szCurrentActivityType", activity))
            std::wcscpy(activity, L"zuAgent");
    } else {
        std::wcscpy(activity, L"zuInstall");
    }

    wchar_t stamp[propertyTextCapacity];
    if (!values || !readString(values.get(), L"szLastVersion", stamp) || !stamp[0]) {
        const std::time_t now = std::time(nullptr);
        const std::tm* local = std::localtime(&now);
        if (!local || !std::wcsftime(stamp, propertyTextCapacity, L"%Y%m%d000000", local))
            stamp[0] = L'\0';
    }

    DWORD debug = 0;
    if (!values || !readDword(values.get(), L"bDebugEnable", debug))
        debug = 0;

    (*map)[L"activity"] = activity;
    (*map)[L"dt"] = stamp;
    (*map)[L"logdir"] = logDirectory.get();
    (*map)[L"debugEnable"] = debug ? L"1" : L"0";
    return map;
}

std::shared_ptr<const DefaultLogManager::State> DefaultLogManager::reconsider()
{
    // A thread already building a state examines the file after it watched
    // the folder again, so it sees this change too.
    RefreshLock lock(refreshing_, RefreshLock::tryOnly);
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    if (!lock || !current)
        return current;
    try {
        return publish(current->properties);
    } catch (...) {
        // The folder's signal may be spent: a full refresh examines the file.
        SetEvent(changeEvent.get());
        throw;
    }
}

std::shared_ptr<const DefaultLogManager::State> DefaultLogManager::publish(
    std::shared_ptr<const LogUtils::PropertyMap> properties)
{
    const std::shared_ptr<const State> previous = std::atomic_load(&state_);
    const auto next = std::make_shared<State>();
    next->properties = std::move(properties);
    LogUtils::LogPropertiesOnMapImpl view(next->properties.get());
    const wchar_t* debug = view.getProperty(L"debugEnable");
    next->dropsTraces = debug && _wcsicmp(debug, L"0") == 0;
    next->debugging = debug && _wcsicmp(debug, L"1") == 0;
    if (previous) {
        next->filePath = previous->filePath;
        next->stamp = previous->stamp;
        next->racy = previous->racy;
        next->file = previous->file;
    } else {
        next->filePath = configurationFilePath();
    }

    if (next->debugging && !next->filePath.empty()) {
        // A watch armed before the file was last examined and silent since
        // then says the file is as it was. Otherwise the folder is watched
        // (again) before the file is examined, so a change made while it is
        // read signals the next record.
        bool unchanged = false;
        if (previous && previous->watch) {
            if (previous->watch->quiet()) {
                next->watch = previous->watch;
                unchanged = true;
            } else if (previous->watch->rearm()) {
                next->watch = previous->watch;
            }
        }
        if (!next->watch)
            next->watch = FolderWatch::open(configDirectory.get());
        if (!unchanged) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            const FileStamp stamp = examine(next->filePath.c_str());
            if (!stamp.exists) {
                next->file.reset();
            } else if (!next->file || stamp != next->stamp || next->racy) {
                next->file = std::make_shared<IniFileContents>(next->filePath.c_str());
                InterlockedIncrement(&readings_);
            }
            next->stamp = stamp;
            // Examined before it was read: a change after the reading gets a
            // later time unless the file was last written within the
            // granularity.
            next->racy = stamp.exists && ticks(now) < stamp.lastWrite + timeGranularity;
        }
    }

    LogConfigurationW& configuration =
        next->usesFile() ? static_cast<LogConfigurationW&>(*next->file) : defaultLogConfiguration();
    next->routing = LogUtils::CompiledRouting(configuration, view, getFilterEvaluator());
    const std::shared_ptr<const State> published = next;
    std::atomic_exchange(&state_, published);
    return published;
}

ConfigDirectory::ConfigDirectory()
{
    orn::unique_hkey product;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, installKeyNative, KEY_QUERY_VALUE, product.put()) ==
        ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = sizeof path_ - sizeof(wchar_t);
        if (RegQueryValueExW(product.get(), installDirValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(path_), &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ)) {
            path_[size / sizeof(wchar_t)] = L'\0';
            return;
        }
    }
    path_[0] = L'\0';
    // The 32-bit product's folder, whichever build reads it.
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, path_)))
        PathAppendW(path_, L"Quarvel\\Tessaline");
}

LogDirectory::LogDirectory()
{
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path_)))
        return;
    // Users may create entries below the common folder, never replace it.
    const size_t trusted = std::wcslen(path_);
    if (PathAppendW(path_, L"Quarvel\\Tessaline\\Logs"))
        LogUtils::createLogFolder(path_, trusted);
}

namespace {
// After the built-in table's text (1100), before the built-in configuration
// (1120); the two folders follow it (1130, 1140). Destroyed in reverse.
DefaultLogManager processManager __attribute__((init_priority(1110)));
}  // namespace

ConfigDirectory configDirectory __attribute__((init_priority(1130)));
LogDirectory logDirectory __attribute__((init_priority(1140)));

LogUtils::ILogManager* defaultLogManager()
{
    return &processManager;
}
