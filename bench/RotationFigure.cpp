// Figure 6: the rotation of a 2 MiB log into a cabinet, against gzip -6 of
// the same bytes (timed by scripts/bench.sh and passed in).
#include "Figures.h"

#include "LogArchive.h"
#include "LogFormatter.h"
#include "OStream.h"
#include "UniqueResource.h"

#include <shlobj.h>

#include <cstdio>

namespace bench {

std::wstring samplePath()
{
    return dataFolder() + L"\\rotation-sample.log";
}

// 2 MiB of lines as the sinks write them, with varied messages.
bool writeSample()
{
    SHCreateDirectoryExW(nullptr, dataFolder().c_str(), nullptr);
    std::string text;
    LogRecord record(".\\ShellExt", 1, LevelNotice, "OrnShExt", nullptr);
    char messageText[256];
    ATLString_OStream out(text);
    for (unsigned n = 0; text.size() < 2 * 1024 * 1024; ++n) {
        std::snprintf(messageText, sizeof messageText,
                      "scan of C:\\Users\\user%u\\Documents\\file%u.docx finished: %u objects, "
                      "%u ms",
                      n % 7, n * 2654435761u % 100000, n % 1000, (n * 37) % 5000);
        record.narrowMessage = messageText;
        record.time.wMilliseconds = static_cast<WORD>(n % 1000);
        LogUtils::logFormatter().format(out, L"%+D %+T %P:%+p %l %m", record);
        text += "\r\n";
    }
    text.resize(2 * 1024 * 1024);
    return writeBytes(samplePath(), text);
}

Figure rotation(double gzipMilliseconds)
{
    Figure figure;
    figure.name = "6 rotation of 2 MiB into a cabinet vs gzip -6";
    figure.target = 2.0;
    if (gzipMilliseconds <= 0) {
        figure.note = "no gzip figure given (--gzip-ms)";
        return figure;
    }
    const std::wstring folder = dataFolder() + L"\\rotation";
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::wstring live = folder + L"\\zuAgent.log";
    auto clear = [&] {
        WIN32_FIND_DATAW data;
        orn::unique_find find(FindFirstFileW((folder + L"\\zuAgent.*").c_str(), &data));
        if (!find)
            return;
        do
            DeleteFileW((folder + L"\\" + data.cFileName).c_str());
        while (FindNextFileW(find.get(), &data));
    };
    std::vector<double> times, ratios;
    int cabinets = 0;
    for (int round = 0; round < 8; ++round) {
        clear();
        if (!CopyFileW(samplePath().c_str(), live.c_str(), FALSE)) {
            figure.note = "no sample (--write-sample)";
            return figure;
        }
        const double t0 = now();
        const bool moved = LogUtils::rotateLogFile(live.c_str());
        const double t1 = now();
        WIN32_FIND_DATAW data;
        orn::unique_find cab(FindFirstFileW((folder + L"\\zuAgent.*.cab").c_str(), &data));
        if (moved && cab && round > 0) {
            ++cabinets;
            times.push_back((t1 - t0) * 1e3);
            ratios.push_back((t1 - t0) * 1e3 / gzipMilliseconds);
        }
    }
    // The last cabinet stays for the script to check with cabextract.
    figure.ours = median(times) * 1e3;
    figure.bare = gzipMilliseconds * 1e3;
    figure.ratio = median(ratios);
    figure.measured = cabinets > 0;
    if (!figure.measured)
        figure.note = "no cabinet was written";
    return figure;
}

}  // namespace bench
