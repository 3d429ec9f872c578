#include "LogPropertyReader.h"

#include "ProductKeys.h"
#include "RegistryValues.h"

#include <ctime>
#include <cwchar>

namespace {

constexpr int propertyTextCapacity = 64;

}  // namespace

std::shared_ptr<const LogUtils::PropertyMap>
readLogProperties(orn::unique_hkey& logKey, HANDLE changeEvent, const wchar_t* logFolder)
{
    if (!logKey)
        OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_READ, logKey.put());

    auto map = std::make_shared<LogUtils::PropertyMap>();
    orn::unique_hkey values;
    OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_QUERY_VALUE, values.put());

    wchar_t activity[propertyTextCapacity];
    if (logKey) {
        RegNotifyChangeKeyValue(logKey.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changeEvent, TRUE);
        if (!values || !ReadStringValue(values.get(), L"szCurrentActivityType", activity,
                                        propertyTextCapacity, EmptyValue::asUnreadable))
            std::wcscpy(activity, L"zuAgent");
    } else {
        std::wcscpy(activity, L"zuInstall");
    }

    wchar_t stamp[propertyTextCapacity];
    if (!values ||
        !ReadStringValue(values.get(), L"szLastVersion", stamp, propertyTextCapacity,
                         EmptyValue::asUnreadable) ||
        !stamp[0]) {
        const std::time_t now = std::time(nullptr);
        const std::tm* local = std::localtime(&now);
        if (!local || !std::wcsftime(stamp, propertyTextCapacity, L"%Y%m%d000000", local))
            stamp[0] = L'\0';
    }

    DWORD debug = 0;
    if (!values || !ReadDwordValue(values.get(), L"bDebugEnable", debug))
        debug = 0;

    (*map)[L"activity"] = activity;
    (*map)[L"dt"] = stamp;
    (*map)[L"logdir"] = logFolder;
    (*map)[L"debugEnable"] = debug ? L"1" : L"0";
    return map;
}
