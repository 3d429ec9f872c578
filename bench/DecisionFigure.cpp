// Figure 1: what the log manager spends deciding that no section takes a
// record, against one snprintf of the line, and the pieces of a record's cost.
#include "Figures.h"

#include "DefaultLogConfiguration.h"
#include "DefaultLogManager.h"
#include "FilterEvaluator.h"
#include "LogManager.h"
#include "UniqueResource.h"

namespace bench {
namespace {

// The manager's routing through the built-in table alone, without the
// configuration-file check: isolates where the decision time goes.
class TableOnlyManager : public LogUtils::LogManagerImpl {
public:
    void log(LogRecord&) override {}
    LogUtils::IFilterEvaluator* getFilterEvaluator() override { return &evaluator_; }
    LogUtils::ILogFormatter* getFormatter() override { return &LogUtils::logFormatter(); }
    bool forEachConfiguration(ConfigurationEnumeration::ActionType& action) override
    {
        return action(defaultLogConfiguration());
    }

private:
    FilterEvaluator evaluator_;
};

}  // namespace

Figure decisionCost()
{
    setDebugging(true);
    auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
    const LineFields fields = lineFields();
    char buffer[512];
    // The manager's own work once the change check has found nothing: the
    // debug gate and the routing decided at the last refresh.
    LogRecord untaken(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager);
    untaken.narrowMessage = message;
    Figure figure = compare(
        "1 decision, record no section takes (no wait)", 2.0, 15, 3000,
        [&](int) { manager->route(untaken); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    const Figure whole = compare(
        "whole logging call", 0, 15, 300,
        [&](int) {
            LogRecord(".\\ShellExt", __LINE__, LevelDebug, "OrnShExt", manager).print(message);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });

    // For comparison: the same decision made section by section from the
    // table's keys (processSection), and the pieces of a record's cost.
    TableOnlyManager tableOnly;
    LogUtils::PropertyMap map = {{L"activity", L"zuAgent"},
                                 {L"debugEnable", L"1"},
                                 {L"dt", L"20261207000000"},
                                 {L"logdir", logDirectory.get()}};
    LogUtils::LogPropertiesOnMapImpl view(&map);
    LogRecord record(".\\ShellExt", 1, LevelDebug, "OrnShExt", nullptr);
    record.narrowMessage = message;
    const Figure table = compare(
        "routing through the table alone", 0, 15, 300,
        [&](int) {
            LogUtils::LogManagerImpl::ConfigurationAction action(tableOnly, record, view);
            tableOnly.forEachConfiguration(action);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    orn::unique_handle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    orn::unique_handle second(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const HANDLE handles[2] = {event.get(), second.get()};
    const Figure wait = compare(
        "change check", 0, 15, 300,
        [&](int) { sink = WaitForMultipleObjects(2, handles, FALSE, 0); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    const std::wstring iniPath = std::wstring(configDirectory.get()) + L"\\logCfg.Ini";
    WIN32_FILE_ATTRIBUTE_DATA data;
    const Figure examine = compare(
        "metadata query", 0, 15, 300,
        [&](int) {
            sink = GetFileAttributesExW(iniPath.c_str(), GetFileExInfoStandard, &data);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    SYSTEMTIME stamp;
    const Figure stampCost = compare(
        "record stamp", 0, 15, 300,
        [&](int) {
            GetLocalTime(&stamp);
            sink = stamp.wSecond + GetCurrentThreadId() + GetCurrentProcessId();
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    detail("   1a whole logging call (debugging on)        %8.2f us", whole.ours);
    detail("   1b the decision alone, as timed above       %8.2f us", figure.ours);
    detail("   1c the same made from the table's keys      %8.2f us", table.ours);
    detail("   1d WaitForMultipleObjects(2 handles, 0)     %8.2f us", wait.ours);
    detail("   1e GetFileAttributesExW(logCfg.Ini)         %8.2f us", examine.ours);
    detail("   1f GetLocalTime and the two ids, per record %8.2f us", stampCost.ours);
    detail("   1g one snprintf of the line's fields        %8.2f us", figure.bare);
    setDebugging(false);
    return figure;
}

}  // namespace bench
