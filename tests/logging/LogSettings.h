#pragma once
// The logging call end to end needs the real Log key, log folder and
// "logCfg.Ini"; a test changes them through this fixture, which puts them
// back afterwards.

#include "ConfigFileWatch.h"
#include "DefaultLogManager.h"
#include "OutputTestSupport.h"
#include "ProductKeys.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace output_test {

using Files = std::set<std::wstring>;

// The manager keeps the Log key it found at its first record for the life of
// the process, so the key must exist before then and stay; a key this
// program had to create goes at the end.
class LogKeyEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        for (const wchar_t* path :
             {L"SOFTWARE\\Quarvel", L"SOFTWARE\\Quarvel\\Hollowmere", logRegistryKey}) {
            orn::unique_hkey key;
            DWORD disposition = 0;
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                            KEY_ALL_ACCESS | ProductView(HKEY_LOCAL_MACHINE), nullptr, key.put(),
                            &disposition);
            if (disposition == REG_CREATED_NEW_KEY)
                created_.push_back(path);
        }
    }
    void TearDown() override
    {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, *it, ProductView(HKEY_LOCAL_MACHINE), 0);
    }

private:
    std::vector<const wchar_t*> created_;
};

inline testing::Environment* const logKeyEnvironment =
    testing::AddGlobalTestEnvironment(new LogKeyEnvironment);

// Values of the Log key a test sets are restored, a "logCfg.Ini" found is put
// aside for the test, and log files it made are removed. Each test starts on
// the built-in table with the agent's activity and debugging off.
class LogSettingsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey,
                                               KEY_ALL_ACCESS, key_.put()));
        for (const wchar_t* name : {L"szCurrentActivityType", L"szLastVersion", L"bDebugEnable"})
            saved_.emplace_back(new SavedValue(key_.get(), name));
        filesBefore_ = logFiles();
        iniPath_ = configurationFilePath();
        iniFound_ = exists(iniPath_);
        if (iniFound_) {
            iniBefore_ = readFile(iniPath_);
            DeleteFileW(iniPath_.c_str());
        }
        setActivity(L"zuAgent");
        setDebug(0);
        // Applies what was just set, whatever an earlier test left cached.
        log(LevelNotice, "settle");
    }

    void TearDown() override
    {
        removeIni();
        if (iniFound_)
            writeFile(iniPath_, iniBefore_);
        const long before = FolderChangeSeen::manager().refreshes();
        saved_.clear();
        key_.reset();
        awaitKeyChange(before);
        // Applies the restored values before the files of this test go.
        log(LevelNotice, "settle");
        for (const std::wstring& name : logFiles()) {
            if (!filesBefore_.count(name))
                DeleteFileW((logFolder() + L"\\" + name).c_str());
        }
    }

    static std::wstring logFolder() { return logDirectory.get(); }
    static Files logFiles()
    {
        Files names;
        for (const std::wstring& name : listFolder(logFolder()))
            names.insert(name);
        return names;
    }

    void setActivity(const wchar_t* activity) { setString(L"szCurrentActivityType", activity); }

    void setString(const wchar_t* name, const wchar_t* value)
    {
        const long before = FolderChangeSeen::manager().refreshes();
        RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
        awaitKeyChange(before);
    }

    // A change of the Log key reaches the manager from the thread pool a
    // moment after it is made (or a refresh under way reads it).
    static void awaitKeyChange(long refreshesBefore)
    {
        DefaultLogManager& manager = FolderChangeSeen::manager();
        for (int waited = 0; waited < 5000 && manager.listensToKey() &&
                             !manager.keyChangeArrived() && manager.refreshes() == refreshesBefore;
             ++waited)
            Sleep(1);
    }

    void setDebug(DWORD on)
    {
        const long before = FolderChangeSeen::manager().refreshes();
        RegSetValueExW(key_.get(), L"bDebugEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&on), sizeof on);
        awaitKeyChange(before);
    }

    // Written once the manager's watch of the folder will have seen it.
    void writeIni(const std::string& text)
    {
        // The folder may not exist where no product is installed: note each
        // level made here, to remove it again.
        if (createdFolders_.empty()) {
            for (std::wstring folder = configDirectory.get(); !folder.empty() && !exists(folder);
                 folder = folder.substr(0, folder.find_last_of(L'\\')))
                createdFolders_.push_back(folder);
            SHCreateDirectoryExW(nullptr, configDirectory.get(), nullptr);
        }
        FolderChangeSeen seen(configDirectory.get());
        ASSERT_TRUE(writeFile(iniPath_, text));
    }

    void removeIni()
    {
        if (exists(iniPath_)) {
            FolderChangeSeen seen(configDirectory.get());
            DeleteFileW(iniPath_.c_str());
        }
        for (const std::wstring& folder : createdFolders_)
            RemoveDirectoryW(folder.c_str());
        createdFolders_.clear();
    }

    // Logs a text unique to this call, in this run; answers it.
    std::string log(int level, const char* what, const char* component = "OrnShExt")
    {
        static int counter = 0;
        const std::string marker =
            std::string(what) + "-" + runMarker() + "-" + std::to_string(++counter) + "#";
        LogRecord(".\\SettingsTest", __LINE__, level, component, defaultLogManager())
            .print("%s", marker.c_str());
        return marker;
    }

    // The log files holding the text.
    static Files filesWith(const std::string& text)
    {
        Files found;
        for (const std::wstring& name : logFiles()) {
            if (readFile(logFolder() + L"\\" + name).find(text) != std::string::npos)
                found.insert(name);
        }
        return found;
    }

    // The log files the next record lands in.
    Files routed(int level = LevelInfo, const char* component = "OrnShExt")
    {
        return filesWith(log(level, "routed", component));
    }

    orn::unique_hkey key_;
    std::wstring iniPath_;

private:
    std::vector<std::unique_ptr<SavedValue>> saved_;
    Files filesBefore_;
    bool iniFound_ = false;
    std::string iniBefore_;
    std::vector<std::wstring> createdFolders_;
};

}  // namespace output_test
