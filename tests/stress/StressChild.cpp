// One of the processes of the rotation stress runs:
//
//   StressChild ID LINES SHAREDLOG MAXSIZE RESULT
//
// Four threads each write LINES lines. Even lines go through the logging call
// (the stress configuration file sends them to the shared log and a second
// one); odd lines go straight to a file sink on the shared log, so that the
// sink's answer is known. RESULT lists every odd line with that answer and
// every even line as attempted, marked "early" when the manager had not yet
// published its first properties (another thread was still reading them):
// such a record is not routed. Exit code 3 when a logging call changed the
// caller's last-error value.

#include "StressSupport.h"

#include "DefaultLogManager.h"
#include "LogFileSink.h"
#include "LogFormatter.h"
#include "LogManager.h"
#include "LogRecord.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<int> lastErrorChanged{0};

std::string message(char kind, int process, int thread, int number)
{
    // The run of x's has a length the checker recomputes, so a cut or merged
    // line shows.
    return std::string(1, kind) + " " + std::to_string(process) + " " + std::to_string(thread) +
           " " + std::to_string(number) + " " +
           std::string(20 + (number * 7 + thread) % 60, 'x') + " end";
}

void writer(int process, int thread, int lines, const wchar_t* sharedLog, DWORD maximumSize,
            std::string& result)
{
    for (int n = 0; n < lines; ++n) {
        if (n % 2 == 0) {
            const std::string text = message('M', process, thread, n);
            const bool early =
                !static_cast<DefaultLogManager*>(defaultLogManager())->snapshot();
            SetLastError(0x1234);
            LogRecord(".\\Stress", __LINE__, LevelInfo, stress::component, defaultLogManager())
                .print("%s", text.c_str());
            if (GetLastError() != 0x1234)
                ++lastErrorChanged;
            result += "M " + std::to_string(process) + " " + std::to_string(thread) + " " +
                      std::to_string(n) + (early ? " early\n" : "\n");
        } else {
            const std::string text = message('S', process, thread, n);
            LogRecord record(".\\Stress", __LINE__, LevelInfo, stress::component, nullptr);
            record.narrowMessage = text.c_str();
            LogUtils::LogManagerImpl::Streamer streamer(L"%D %T %P:%+p %m",
                                                        &LogUtils::logFormatter(), record);
            const bool written =
                LogUtils::LogFileSink(sharedLog, maximumSize, true).write(streamer);
            result += "S " + std::to_string(process) + " " + std::to_string(thread) + " " +
                      std::to_string(n) + (written ? " 1\n" : " 0\n");
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 6)
        return 1;
    const int process = _wtoi(argv[1]);
    const int lines = _wtoi(argv[2]);
    const DWORD maximumSize = std::wcstoul(argv[4], nullptr, 10);
    std::vector<std::string> results(stress::threadsPerProcess);
    std::vector<std::thread> threads;
    for (int t = 0; t < stress::threadsPerProcess; ++t)
        threads.emplace_back(writer, process, t, lines, argv[3], maximumSize, std::ref(results[t]));
    for (std::thread& thread : threads)
        thread.join();

    FILE* file = _wfopen(argv[5], L"wb");
    if (!file)
        return 2;
    for (const std::string& result : results)
        std::fwrite(result.data(), 1, result.size(), file);
    std::fclose(file);
    return lastErrorChanged ? 3 : 0;
}
