#include "DefaultLogConfiguration.h"

namespace {

struct BuiltInSection {
    const wchar_t* filter;
    const wchar_t* condition;  // null: none
    const wchar_t* filename;
};

// Sections 3 and 4 are exact complements: every record of level 0 to 6 lands
// in one activity log.
constexpr BuiltInSection builtInSections[] = {
    {L"QuarvelOASDetection.Debug", nullptr, L"QuarvelOASDetection.log"},
    {L"kwAgent.Info", nullptr, L"kwAgent.log"},
    {L"*.Notice", nullptr, L"zuNotices.log"},
    {L"*.Info", L"<activity>==\"zuInstall\" or <activity>==\"zuUninstall\"",
     L"<activity>.<dt>.log"},
    {L"*.Info", L"not (<activity>==\"zuInstall\" or <activity>==\"zuUninstall\")",
     L"<activity>.log"},
};

}  // namespace

DefaultLogConfiguration::DefaultLogConfiguration()
{
    int index = 0;
    for (const BuiltInSection& section : builtInSections) {
        setProperty(index, L"type", L"file");
        setProperty(index, L"filter", section.filter);
        if (section.condition)
            setProperty(index, L"condition", section.condition);
        setProperty(index, L"filename", section.filename);
        setProperty(index, L"format", L"%D %T %P:%+p %m");
        ++index;
    }
}
