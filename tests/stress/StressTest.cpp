// The logging library under load: processes and threads sharing logs that
// rotate many times, the log folder taken away while lines are written, and
// the Log key changed and deleted while threads log. The program runs on a
// private HKEY_LOCAL_MACHINE (StressMachine.cpp) whose install folder holds
// the stress configuration file and whose Log key has debugging on.

#include "Files.h"
#include "Paths.h"
#include "Process.h"
#include "StressSupport.h"

#include "DefaultLogManager.h"
#include "LogRecord.h"
#include "UniqueResource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const char configuration[] =
    "[shared]\r\n"
    "type=file\r\n"
    "filter=ProofStress.Debug\r\n"
    "filename=proof-stress-rotate\\shared.log\r\n"
    "maxsize=20000\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[second]\r\n"
    "type=file\r\n"
    "filter=ProofStress.Debug\r\n"
    "filename=proof-stress-rotate\\second.log\r\n"
    "maxsize=15000\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[background]\r\n"
    "type=file\r\n"
    "filter=ProofStress.Debug\r\n"
    "filename=proof-stress-rotate\\background.log\r\n"
    "maxsize=15000\r\n"
    "writedelay=50\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[gone]\r\n"
    "type=file\r\n"
    "filter=ProofGone.Debug\r\n"
    "filename=proof-stress-gone\\gone.log\r\n"
    "format=%D %T %P:%+p %m\r\n";

using testsupport::listFolder;
using testsupport::readFile;
using testsupport::removeTree;

// Waits until the threads behind the counter have made `by` more calls;
// false after five seconds without them. Progress, not time, paces the
// rounds: a loaded machine slows the threads down.
bool progressed(const std::atomic<int>& counter, int by)
{
    const int target = counter.load() + by;
    for (int waited = 0; counter.load() < target; waited += 5) {
        if (waited >= 5000)
            return false;
        Sleep(5);
    }
    return true;
}

class Stress : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::wstring path = stress::configFolder() + L"\\logCfg.Ini";
        orn::unique_file file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), configuration, sizeof configuration - 1, &written, nullptr);
    }
    static void TearDownTestSuite()
    {
        DeleteFileW((stress::configFolder() + L"\\logCfg.Ini").c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, stress::machineKeyPath().c_str());
    }

    static std::wstring logFolder(const wchar_t* name)
    {
        return std::wstring(logDirectory.get()) + L"\\" + name;
    }
};

// Writers 0 to 3 run as four processes at once; writer 4 runs alone before
// them, so its four threads share the logs only with each other. False when
// one of them failed or they did not finish.
bool runWriters(const std::vector<int>& ids, const std::wstring& folder, const std::wstring& out)
{
    const std::wstring child =
        testsupport::binaryDir().wstring() + L"\\tests\\stress\\StressChild.exe";
    std::vector<orn::unique_handle> started;
    std::vector<HANDLE> handles;
    for (int id : ids) {
        started.push_back(testsupport::startProcess(
            L"\"" + child + L"\" " + std::to_wstring(id) + L" 1000 \"" + folder +
            L"\\shared.log\" 20000 \"" + out + L"\\result." + std::to_wstring(id) + L"\""));
        if (!started.back())
            return false;
        handles.push_back(started.back().get());
    }
    const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                handles.data(), TRUE, 150000);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "the writers did not finish";
    bool ok = waited == WAIT_OBJECT_0;
    for (HANDLE process : handles) {
        DWORD code = 0xFFFFFFFF;
        if (waited == WAIT_TIMEOUT)
            TerminateProcess(process, 9);
        GetExitCodeProcess(process, &code);
        EXPECT_EQ(0u, code) << "3: a logging call changed the caller's last-error value";
        ok = ok && code == 0;
    }
    return ok;
}

// Two logs small enough to rotate again and again: first one process of four
// threads alone, then four such processes at once. The cabinets and lines
// are checked on the Linux side (verify-rotation.sh, with cabextract): every
// line whole and found once, the sink's kept ones too, and none kept by the
// threads of the process alone; here the run itself must finish and leave
// cabinets.
TEST_F(Stress, FourProcessesOfFourThreadsRotateSharedLogs)
{
    ASSERT_NE(nullptr, std::getenv("ORN_STRESS_MACHINE"));
    const std::wstring folder = logFolder(L"proof-stress-rotate");
    ASSERT_TRUE(removeTree(folder));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring out = stress::outputFolder() + L"\\rotate";
    ASSERT_TRUE(removeTree(out));
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));

    ASSERT_TRUE(runWriters({4}, folder, out));
    ASSERT_TRUE(runWriters({0, 1, 2, 3}, folder, out));
    const std::wstring logs[] = {L"shared", L"second", L"background"};
    int cabinets[3] = {0, 0, 0};
    for (const std::wstring& name : listFolder(folder)) {
        ASSERT_TRUE(CopyFileW((folder + L"\\" + name).c_str(), (out + L"\\" + name).c_str(), FALSE));
        for (int log = 0; log < 3; ++log) {
            if (name.size() > 4 && name.compare(name.size() - 4, 4, L".cab") == 0 &&
                name.compare(0, logs[log].size() + 1, logs[log] + L".") == 0)
                ++cabinets[log];
        }
    }
    for (int log = 0; log < 3; ++log)
        EXPECT_GE(cabinets[log], 2) << std::string(logs[log].begin(), logs[log].end());
    removeTree(folder);
}

// The folder of a log vanishes and comes back while four threads log to it:
// lines are kept while it is gone (past the bound, counted in a note), and
// nothing else happens: no failure reaches the caller, its last-error value
// stays, no file appears elsewhere, and logging goes on once the folder is
// back.
TEST_F(Stress, LogFolderRemovedWhileLogging)
{
    const std::wstring folder = logFolder(L"proof-stress-gone");
    ASSERT_TRUE(removeTree(folder));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::set<std::wstring> before = [] {
        const auto names = listFolder(logDirectory.get());
        return std::set<std::wstring>(names.begin(), names.end());
    }();

    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}, lastErrorChanged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; !stop; ++n) {
                SetLastError(777);
                LogRecord(".\\Stress", __LINE__, LevelInfo, "ProofGone", defaultLogManager())
                    .print("gone %d %d %s end", t, n, std::string(40, 'x').c_str());
                if (GetLastError() != 777)
                    ++lastErrorChanged;
                ++calls;
            }
        });
    }
    int removals = 0, stalls = 0;
    for (int round = 0; round < 20; ++round) {
        stalls += !progressed(calls, 10);
        // A writer creating a file holds the folder for that moment, so the
        // removal may take a few tries while the threads recreate the log.
        bool removed = false;
        for (int attempt = 0; attempt < 20 && !removed; ++attempt)
            removed = removeTree(folder);
        removals += removed;
        stalls += !progressed(calls, 10);
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    stop = true;
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(0, lastErrorChanged.load());
    EXPECT_EQ(20, removals);
    EXPECT_EQ(0, stalls) << "the threads stopped logging";
    // Nothing of this log beside its folder (other programs may log there).
    for (const std::wstring& name : listFolder(logDirectory.get())) {
        if (name.compare(0, 4, L"gone") == 0 || name.compare(0, 17, L"proof-stress-gone") == 0) {
            EXPECT_TRUE(before.count(name)) << "new in the log folder: "
                                            << std::string(name.begin(), name.end());
        }
    }
    // The folder holds only the one log, and its lines are whole: the
    // threads' lines and the notes of lines lost.
    for (const std::wstring& name : listFolder(folder))
        EXPECT_EQ(L"gone.log", name);
    const std::string content = readFile(folder + L"\\gone.log");
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = content.find("\r\n", at);
        ASSERT_NE(std::string::npos, end) << "a cut last line";
        const std::string line = content.substr(at, end - at);
        at = end + 2;
        if (line.compare(0, 9, "Logging: ") == 0) {
            ASSERT_NE(std::string::npos, line.find(" lines lost: ")) << line;
            continue;
        }
        ASSERT_NE(std::string::npos, line.find(" gone ")) << line;
        ASSERT_EQ(line.size() - 4, line.rfind(" end")) << line;
    }
    // Back again: the next line lands.
    LogRecord(".\\Stress", __LINE__, LevelInfo, "ProofGone", defaultLogManager())
        .print("gone back end");
    EXPECT_NE(std::string::npos, readFile(folder + L"\\gone.log").find("gone back end"));
    removeTree(folder);
}

// Every property map the manager publishes, as the threads and a sampler
// see it. A refresh always publishes a fresh map and never changes a
// published one, so each distinct map is one refresh; the maps are held, so
// no address is used twice.
class RefreshWatch {
public:
    explicit RefreshWatch(DefaultLogManager& manager) : manager_(manager) {}

    void observe()
    {
        auto map = manager_.snapshot();
        if (!map || map.get() == last_.load())
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(maps_.begin(), maps_.end(), map) == maps_.end())
            maps_.push_back(map);
        last_ = map.get();
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return maps_.size();
    }
    // How many maps hold this activity.
    int withActivity(const std::wstring& activity)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int found = 0;
        for (const auto& map : maps_)
            found += map->at(L"activity") == activity;
        return found;
    }
    bool waitForActivity(const std::wstring& activity)
    {
        for (int i = 0; i < 400; ++i) {
            if (withActivity(activity))
                return true;
            Sleep(5);
        }
        return false;
    }

private:
    DefaultLogManager& manager_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<const LogUtils::PropertyMap>> maps_;
    std::atomic<const void*> last_{nullptr};
};

void setActivity(const std::wstring& activity)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, stress::logKeyPath,
                                             L"szCurrentActivityType", REG_SZ, activity.c_str(),
                                             static_cast<DWORD>((activity.size() + 1) * 2)));
}

// Changes of the Log key while four threads log: each change is seen by
// exactly one refresh; deleting a value is a change; deleting the key
// crashes nothing and, the notification being gone with it, ends the
// refreshes: the properties stay as last read.
TEST_F(Stress, LogKeyChangedAndDeletedWhileThreadsLog)
{
    auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
    RefreshWatch watch(*manager);
    std::atomic<bool> stop{false};
    std::atomic<int> records{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                // Level 7 of a component no section takes: refreshes, writes nothing.
                LogRecord(".\\Stress", __LINE__, LevelDebug, "NoSuchComponent", manager)
                    .print("refresh");
                watch.observe();
                ++records;
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop)
            watch.observe();
    });

    setActivity(L"actStart");
    ASSERT_TRUE(watch.waitForActivity(L"actStart"));
    Sleep(50);
    const std::size_t start = watch.count();
    const int changes = 12;
    for (int k = 0; k < changes; ++k) {
        const std::wstring activity = L"act" + std::to_wstring(k);
        setActivity(activity);
        ASSERT_TRUE(watch.waitForActivity(activity)) << "change " << k << " not seen";
        Sleep(30);  // time for a second refresh, if there were one
        EXPECT_EQ(start + k + 1, watch.count()) << "change " << k;
        EXPECT_EQ(1, watch.withActivity(activity));
    }
    // Deleting a value is a change like any other.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, stress::logKeyPath,
                                                L"szCurrentActivityType"));
    ASSERT_TRUE(watch.waitForActivity(L"zuAgent"));
    Sleep(30);
    EXPECT_EQ(start + changes + 1, watch.count());

    // The key itself goes while the threads log, and comes back.
    const std::size_t beforeDelete = watch.count();
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, stress::logKeyPath));
    Sleep(200);
    EXPECT_TRUE(progressed(records, 40)) << "the threads stopped logging";
    const std::size_t afterDelete = watch.count();
    EXPECT_LE(afterDelete, beforeDelete + 1);
    {
        orn::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, stress::logKeyPath, 0,
                                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                                 nullptr));
    }
    setActivity(L"actAfter");
    Sleep(200);
    EXPECT_TRUE(progressed(records, 40)) << "the threads stopped logging";
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(afterDelete, watch.count()) << "a refresh after the key was gone";
}

}  // namespace
