#include "IniConfiguration.h"

#include <windows.h>

#include <cwchar>

namespace {

// The platform's list of terminated texts ended by an empty one, as it was
// stored: bounded by the count it answers and by the buffer, so that a cut
// list never sends the walk past the buffer.
std::vector<std::wstring> textList(std::vector<wchar_t>& buffer, DWORD answered)
{
    const std::size_t stored = answered < buffer.size() - 1 ? answered : buffer.size() - 1;
    buffer[stored] = L'\0';
    std::vector<std::wstring> texts;
    for (std::size_t at = 0; at < stored && buffer[at];) {
        texts.emplace_back(&buffer[at]);
        at += texts.back().size() + 1;
    }
    return texts;
}

}  // namespace

IniFileConfiguration::IniFileConfiguration(const wchar_t* path)
{
    std::vector<wchar_t> buffer(namesCapacity);
    const DWORD answered = GetPrivateProfileSectionNamesW(buffer.data(), namesCapacity, path);
    std::vector<std::wstring> names = textList(buffer, answered);
    buffer.resize(sectionCapacity);
    for (std::wstring& name : names) {
        sections_.emplace_back();
        Section& section = sections_.back();
        const DWORD length =
            GetPrivateProfileSectionW(name.c_str(), buffer.data(), sectionCapacity, path);
        for (const std::wstring& line : textList(buffer, length)) {
            const std::size_t separator = line.find(L'=');
            if (separator != std::wstring::npos)
                section.entries.emplace_back(line.substr(0, separator), line.substr(separator + 1));
        }
        section.name = std::move(name);
    }
}

bool IniFileConfiguration::firstThat(ActionType& action)
{
    for (Section& section : sections_) {
        if (action(section))
            return true;
    }
    return false;
}

const wchar_t* IniFileConfiguration::Section::getProperty(const wchar_t* key)
{
    if (!key)
        return nullptr;
    for (const auto& entry : entries) {
        if (lstrcmpiW(entry.first.c_str(), key) == 0)
            return entry.second.c_str();
    }
    return nullptr;
}
