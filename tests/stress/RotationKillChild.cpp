// The writer the rotation kill runs kill:
//
//   RotationKillChild ROUND LINES LOG MAXSIZE RESULT
//
// Four threads each write LINES lines straight to a file sink on LOG, which
// rotates above MAXSIZE. Right after the sink answers, each thread appends
// "ROUND THREAD NUMBER ANSWER" to RESULT.THREAD in a write of its own, so a
// process killed at any moment leaves the answer of every call that
// returned. The message is "K ROUND THREAD NUMBER x...x end". Each thread
// pauses a millisecond after each line.

#include "LogFileSink.h"
#include "LogFormatter.h"
#include "LogManager.h"
#include "LogRecord.h"
#include "UniqueResource.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int threads = 4;

void writer(int round, int thread, int lines, const wchar_t* log, DWORD maximumSize,
            const std::wstring& result)
{
    const orn::unique_file answers(CreateFileW(result.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                               nullptr, OPEN_ALWAYS, 0, nullptr));
    for (int n = 0; n < lines; ++n) {
        // A run of x's whose length the checker recomputes.
        const std::string text = "K " + std::to_string(round) + " " + std::to_string(thread) +
                                 " " + std::to_string(n) + " " +
                                 std::string(20 + (n * 7 + thread) % 60, 'x') + " end";
        LogRecord record(".\\Kill", __LINE__, LevelInfo, "ProofKill", nullptr);
        record.narrowMessage = text.c_str();
        LogUtils::LogManagerImpl::Streamer streamer(L"%D %T %P:%+p %m", &LogUtils::logFormatter(),
                                                    record);
        const bool written = LogUtils::LogFileSink(log, maximumSize, true).write(streamer);
        const std::string answer = std::to_string(round) + " " + std::to_string(thread) + " " +
                                   std::to_string(n) + (written ? " 1\n" : " 0\n");
        DWORD done = 0;
        WriteFile(answers.get(), answer.data(), static_cast<DWORD>(answer.size()), &done, nullptr);
        // A log rotates once a second at most: paced, a run spans several.
        Sleep(1);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 6)
        return 1;
    const int round = _wtoi(argv[1]);
    const int lines = _wtoi(argv[2]);
    const DWORD maximumSize = std::wcstoul(argv[4], nullptr, 10);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back(writer, round, t, lines, argv[3], maximumSize,
                             std::wstring(argv[5]) + L"." + std::to_wstring(t));
    for (std::thread& thread : running)
        thread.join();
    return 0;
}
