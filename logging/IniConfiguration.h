#pragma once
// The logging configuration file, read only through the platform's profile
// functions, and held in memory so that it is read again only when it
// changes.

#include "LogConfiguration.h"

#include <string>
#include <utility>
#include <vector>

// The sections of one file as the platform lists them at one moment: the
// names first, then one read per section. Never changed after it is read, so
// any number of threads may enumerate it.
class IniFileConfiguration : public LogConfigurationW {
public:
    // Room for all section names with their terminators: names beyond it are
    // not seen, and the last may arrive cut.
    static constexpr int namesCapacity = 512;
    // The largest section text the platform reads in one call; longer
    // sections are cut.
    static constexpr int sectionCapacity = 32767;

    // A missing or unreadable file has no sections.
    explicit IniFileConfiguration(const wchar_t* path);

    // One section: its lines split at their first "=" (lines without one
    // carry nothing), in file order. A key is found ignoring case, its first
    // entry winning.
    class Section : public LookupableW {
    public:
        const wchar_t* getProperty(const wchar_t* key) override;

        std::wstring name;
        std::vector<std::pair<std::wstring, std::wstring>> entries;
    };

    // The sections in file order, the order they apply in.
    bool firstThat(ActionType& action) override;
    const std::vector<Section>& sections() const { return sections_; }

private:
    std::vector<Section> sections_;
};
