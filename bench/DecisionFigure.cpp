// Figure 1: what the log manager spends deciding that no section takes a
// record, against one snprintf of the line, and the pieces of a record's cost.
#include "Figures.h"

#include "ConfigFileWatch.h"
#include "DefaultLogConfiguration.h"
#include "DefaultLogManager.h"
#include "LogManager.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

#include <vector>

namespace bench {
namespace {

// The manager's whole decision for a trace of a component no section takes,
// its look for changes included, against one snprintf of the line.
Figure droppedRecord(const char* name)
{
    auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
    const LineFields fields = lineFields();
    char buffer[512];
    LogRecord dropped(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager);
    dropped.narrowMessage = message;
    return compare(
        name, 2.0, 15, 3000, [&](int) { manager->log(dropped); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
}

}  // namespace

Figure decisionCost()
{
    setDebugging(true);
    auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
    const LineFields fields = lineFields();
    char buffer[512];
    Figure figure = droppedRecord("1 dropped record, debugging on (no section)");
    const Figure whole = compare(
        "whole logging call", 0, 15, 300,
        [&](int) {
            LogRecord(".\\ShellExt", __LINE__, LevelDebug, "OrnShExt", manager).print(message);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });

    // For comparison: the same decision made section by section from the
    // table's keys, and the pieces of a record's cost.
    LogUtils::PropertyMap map = {{L"activity", L"zuAgent"},
                                 {L"debugEnable", L"1"},
                                 {L"dt", L"20261207000000"},
                                 {L"logdir", logDirectory.get()}};
    LogUtils::LogPropertiesOnMapImpl view(&map);
    LogRecord record(".\\ShellExt", 1, LevelDebug, "OrnShExt", nullptr);
    record.narrowMessage = message;
    const Figure table = compare(
        "routing through the table alone", 0, 15, 300,
        [&](int) { LogUtils::CompiledRouting(defaultLogConfiguration(), view).route(record); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    orn::unique_handle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    orn::unique_handle second(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const HANDLE handles[2] = {event.get(), second.get()};
    const Figure wait = compare(
        "change check", 0, 15, 300,
        [&](int) { sink = WaitForMultipleObjects(2, handles, FALSE, 0); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    const std::wstring iniPath = configurationFilePath();
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
    detail("   1b the manager's decision, as timed above   %8.2f us", figure.ours);
    detail("   1c the same made from the table's keys      %8.2f us", table.ours);
    detail("   1d WaitForMultipleObjects(2 handles, 0)     %8.2f us", wait.ours);
    detail("   1e GetFileAttributesExW(logCfg.Ini)         %8.2f us", examine.ours);
    detail("   1f GetLocalTime and the two ids, per record %8.2f us", stampCost.ours);
    detail("   1g one snprintf of the line's fields        %8.2f us", figure.bare);
    setDebugging(false);
    return figure;
}

Figure droppedWhileNotDebugging()
{
    setDebugging(false);
    return droppedRecord("1 dropped record, debugging off (debug gate)");
}

// Figure 9: from setting bDebugEnable to the first record routed with it,
// against the set itself. Median of 15 changes.
Figure changeLatency()
{
    auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
    orn::unique_hkey key;
    OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_SET_VALUE, key.put());
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto micros = [&](LONGLONG ticks) { return 1e6 * static_cast<double>(ticks) / frequency.QuadPart; };
    std::vector<double> latencies, sets;
    for (int round = 0; round < 15; ++round) {
        const DWORD on = round % 2 ? 0 : 1;
        LARGE_INTEGER start, set, seen;
        QueryPerformanceCounter(&start);
        RegSetValueExW(key.get(), L"bDebugEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on),
                       sizeof on);
        QueryPerformanceCounter(&set);
        for (;;) {
            LogRecord probe(".\\Bench", __LINE__, LevelDebug, "NoSuchComponent", manager);
            probe.narrowMessage = message;
            manager->log(probe);
            const auto snapshot = manager->snapshot();
            QueryPerformanceCounter(&seen);
            const auto found = snapshot ? snapshot->find(L"debugEnable") : decltype(snapshot->end())();
            if ((snapshot && found != snapshot->end() && found->second == (on ? L"1" : L"0")) ||
                micros(seen.QuadPart - start.QuadPart) > 1e6)
                break;
        }
        latencies.push_back(micros(seen.QuadPart - start.QuadPart));
        sets.push_back(micros(set.QuadPart - start.QuadPart));
    }
    setDebugging(false);
    Figure figure;
    figure.name = "9 Log key change to the first record routed by it";
    figure.measured = true;
    figure.ours = median(latencies);
    figure.bare = median(sets);
    figure.ratio = figure.bare > 0 ? figure.ours / figure.bare : 0;
    figure.note = "below 50 ms: " + std::string(figure.ours < 50000 ? "met" : "MISSED") +
                  "; the bare side is the RegSetValueExW";
    return figure;
}

}  // namespace bench
