#include "DefaultLogManager.h"

#include "DefaultLogConfiguration.h"
#include "IniConfiguration.h"
#include "ProductKeys.h"

#include <boost/make_shared.hpp>
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

bool isDebugEnabled(LookupableW& properties)
{
    const wchar_t* debug = properties.getProperty(L"debugEnable");
    return debug && _wcsicmp(debug, L"1") == 0;
}

}  // namespace

DefaultLogManager::DefaultLogManager()
    : changeEvent(CreateEventW(nullptr, FALSE, TRUE, nullptr))
{
    // Without the event every wait fails and every record refreshes: slower,
    // but still logging.
}

DefaultLogManager::~DefaultLogManager() = default;

void DefaultLogManager::log(LogRecord& record)
{
    // Only the thread whose wait consumes the signal refreshes.
    if (WaitForSingleObject(changeEvent.get(), 0) != WAIT_TIMEOUT)
        refresh();

    const boost::shared_ptr<const LogUtils::PropertyMap> current = snapshot();
    if (!current)
        return;
    LogUtils::LogPropertiesOnMapImpl view(current.get());
    if (record.level == LevelDebug) {
        const wchar_t* debug = view.getProperty(L"debugEnable");
        if (debug && _wcsicmp(debug, L"0") == 0)
            return;
    }
    ConfigurationAction action(*this, record, view);
    forEachConfiguration(action);
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
    // Debugging is judged by the snapshot the record is routed with.
    bool debug = false;
    if (auto* routing = dynamic_cast<ConfigurationAction*>(&action)) {
        debug = isDebugEnabled(routing->properties());
    } else if (const auto current = snapshot()) {
        LogUtils::LogPropertiesOnMapImpl view(current.get());
        debug = isDebugEnabled(view);
    }

    if (debug) {
        wchar_t path[MAX_PATH + 1];
        // A folder too long for the path leaves the built-in table in force.
        const int length =
            std::swprintf(path, MAX_PATH + 1, L"%ls\\%ls", configDirectory.get(), L"logCfg.Ini");
        if (length > 0 && PathFileExistsW(path)) {
            IniFileConfiguration file(path);
            IniFileConfiguration::Values sections(&file);
            return action(sections);
        }
    }
    return action(defaultLogConfiguration());
}

boost::shared_ptr<const LogUtils::PropertyMap> DefaultLogManager::snapshot() const
{
    return boost::atomic_load(&properties);
}

void DefaultLogManager::refresh()
{
    if (!logKey) {
        HKEY key = nullptr;
        if (OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_READ, &key) == ERROR_SUCCESS)
            logKey.reset(key);
    }

    auto map = boost::make_shared<LogUtils::PropertyMap>();
    orn::unique_hkey values;
    {
        HKEY key = nullptr;
        if (OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS)
            values.reset(key);
    }

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
    boost::atomic_exchange(&properties, boost::shared_ptr<const LogUtils::PropertyMap>(map));
}

ConfigDirectory::ConfigDirectory()
{
    HKEY key = nullptr;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, installKeyNative, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        orn::unique_hkey product(key);
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
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path_)) &&
        PathAppendW(path_, L"Quarvel\\Tessaline\\Logs"))
        SHCreateDirectoryExW(nullptr, path_, nullptr);
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
