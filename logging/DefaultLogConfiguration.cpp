#include "DefaultLogConfiguration.h"

namespace {

#define ORN_LOG_FORMAT L"%D %T %P:%+p %m"

// Constant data: the compiler lays it out, so it is complete before the first
// constructor of the module runs.
constexpr BuiltInLogTable table = {
    {
        {L"type", L"file"},
        {L"filter", L"QuarvelOASDetection.Debug"},
        {L"filename", L"QuarvelOASDetection.log"},
        {L"format", ORN_LOG_FORMAT},
        {nullptr, nullptr},
    },
    {
        {L"type", L"file"},
        {L"filter", L"kwAgent.Info"},
        {L"filename", L"kwAgent.log"},
        {L"format", ORN_LOG_FORMAT},
        {nullptr, nullptr},
    },
    {
        {L"type", L"file"},
        {L"filter", L"*.Notice"},
        {L"filename", L"zuNotices.log"},
        {L"format", ORN_LOG_FORMAT},
        {nullptr, nullptr},
    },
    {
        {L"type", L"file"},
        {L"filter", L"*.Info"},
        {L"condition", L"<activity>==\"zuInstall\" or <activity>==\"zuUninstall\""},
        {L"filename", L"<activity>.<dt>.log"},
        {L"format", ORN_LOG_FORMAT},
    },
    {
        {L"type", L"file"},
        {L"filter", L"*.Info"},
        {L"condition", L"not (<activity>==\"zuInstall\" or <activity>==\"zuUninstall\")"},
        {L"filename", L"<activity>.log"},
        {L"format", ORN_LOG_FORMAT},
    },
};

#undef ORN_LOG_FORMAT

}  // namespace

const BuiltInLogTable& builtInLogTable()
{
    return table;
}

DefaultLogConfiguration::DefaultLogConfiguration()
{
    for (int section = 0; section < builtInLogSectionCount; ++section) {
        for (int slot = 0; slot < builtInLogSlotCount; ++slot) {
            const BuiltInLogSlot& entry = table[section][slot];
            if (entry.key)
                setProperty(section, entry.key, entry.value);
        }
    }
}

namespace {
// After the manager (1110), before the configuration folder (1130).
DefaultLogConfiguration processConfiguration __attribute__((init_priority(1120)));
}  // namespace

DefaultLogConfiguration& defaultLogConfiguration()
{
    return processConfiguration;
}
