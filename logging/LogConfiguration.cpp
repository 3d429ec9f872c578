#include "LogConfiguration.h"

#include <windows.h>

#include <cwchar>

namespace LogUtils {

const wchar_t* LogPropertiesOnMapImpl::getProperty(const wchar_t* key)
{
    if (!map_ || !key)
        return nullptr;
    // The map orders keys case-sensitively, so a case-blind match needs a scan;
    // the maps are a handful of entries. Case folding maps one character to
    // one, so only a key of the wanted length, as a C string, can match: a
    // stored key shorter than that, or one going on past it, is passed over
    // without the costly case-blind comparison.
    const std::size_t length = std::wcslen(key);
    for (const auto& entry : *map_) {
        const std::wstring& candidate = entry.first;
        if (candidate.size() >= length && candidate.c_str()[length] == L'\0' &&
            _wcsicmp(candidate.c_str(), key) == 0)
            return entry.second.c_str();
    }
    return nullptr;
}

void PropertyLogConfiguration::setProperty(int index, const wchar_t* key, const wchar_t* value)
{
    if (!key)
        return;
    sections[index][key] = value ? value : L"";
}

bool PropertyLogConfiguration::firstThat(ActionType& action)
{
    for (auto& section : sections) {
        LogPropertiesOnMapImpl view(&section.second);
        if (action(view))
            return true;
    }
    return false;
}

const wchar_t* LogConfigurationSection::getProperty(const wchar_t* key)
{
    return section_ ? section_->getProperty(key) : nullptr;
}

bool LogConfigurationSection::isEnabled()
{
    const wchar_t* enabled = getProperty(L"enabled");
    if (!enabled)
        return true;
    return _wcsicmp(enabled, L"0") != 0 && _wcsicmp(enabled, L"false") != 0;
}

}  // namespace LogUtils
