#pragma once
// Real registry keys for tests: values written in the product's view, keys
// emptied for one test and put back, and the predefined roots of the process
// mapped onto private keys.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Paths.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

namespace testsupport {

// HKEY_LOCAL_MACHINE keys are reached in the product's view, as its 32-bit
// installer writes them, unless a test names another view.
inline bool keyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    orn::unique_hkey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}
inline bool keyExists(HKEY root, const std::wstring& path)
{
    return keyExists(root, path, ProductView(root));
}

// RegDeleteTreeW knows no views: the key's contents go through a handle
// opened in the view, the key itself through RegDeleteKeyExW.
inline void deleteTree(HKEY root, const std::wstring& path, REGSAM view)
{
    orn::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    RegDeleteKeyExW(root, path.c_str(), view, 0);
}
inline void deleteTree(HKEY root, const std::wstring& path)
{
    deleteTree(root, path, ProductView(root));
}

inline void setValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type,
                     const void* data, std::size_t bytes)
{
    orn::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, CreateProductKey(root, path.c_str(), KEY_ALL_ACCESS, key.put()));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data),
                                            static_cast<DWORD>(bytes)));
}

inline void setStringInView(HKEY root, const std::wstring& path, const wchar_t* name,
                            const std::wstring& value, REGSAM view, DWORD type = REG_SZ)
{
    orn::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                             nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

inline void setString(HKEY root, const std::wstring& path, const wchar_t* name,
                      const std::wstring& value, DWORD type = REG_SZ)
{
    setStringInView(root, path, name, value, ProductView(root), type);
}

inline void createKey(HKEY root, const std::wstring& path)
{
    orn::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, CreateProductKey(root, path.c_str(), KEY_ALL_ACCESS, key.put()));
}

// The stored text of a value, or "<absent>".
inline std::wstring readString(HKEY root, const std::wstring& path, const wchar_t* name)
{
    wchar_t value[1024] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    orn::unique_hkey key;
    if (OpenProductKey(root, path.c_str(), KEY_READ, key.put()) != ERROR_SUCCESS ||
        RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<absent>";
    return value;
}

inline bool valueExists(HKEY root, const std::wstring& path, const wchar_t* name)
{
    orn::unique_hkey key;
    return OpenProductKey(root, path.c_str(), KEY_READ, key.put()) == ERROR_SUCCESS &&
           RegGetValueW(key.get(), nullptr, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Empties registry keys for one test and puts back what was there before:
// each key's tree is copied aside and deleted, and on destruction the keys
// are deleted again, the copies restored and every ancestor this test had to
// create removed.
class RegistryStage {
public:
    RegistryStage(HKEY root, std::vector<std::wstring> paths)
        : RegistryStage(root, std::move(paths), ProductView(root))
    {
    }
    RegistryStage(HKEY root, std::vector<std::wstring> paths, REGSAM view) : root_(root), view_(view)
    {
        for (const std::wstring& path : paths) {
            Entry entry{path, L"", L""};
            entry.topMissing = topMissingAncestor(path);
            if (keyExists(root_, path, view_)) {
                entry.backup = L"Software\\OrnTestBackup\\" + uniqueSuffix();
                orn::unique_hkey source, backup;
                RegOpenKeyExW(root_, path.c_str(), 0, KEY_READ | view_, source.put());
                RegCreateKeyExW(HKEY_CURRENT_USER, entry.backup.c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, backup.put(), nullptr);
                EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(source.get(), nullptr, backup.get()));
                deleteTree(root_, path, view_);
            }
            entries_.push_back(entry);
        }
    }
    ~RegistryStage()
    {
        for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
            deleteTree(root_, entry->path, view_);
            if (!entry->backup.empty()) {
                orn::unique_hkey target, backup;
                RegCreateKeyExW(root_, entry->path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                                nullptr, target.put(), nullptr);
                RegOpenKeyExW(HKEY_CURRENT_USER, entry->backup.c_str(), 0, KEY_READ, backup.put());
                RegCopyTreeW(backup.get(), nullptr, target.get());
                RegDeleteTreeW(HKEY_CURRENT_USER, entry->backup.c_str());
            }
            if (!entry->topMissing.empty())
                deleteTree(root_, entry->topMissing, view_);
        }
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\OrnTestBackup");
    }
    RegistryStage(const RegistryStage&) = delete;
    RegistryStage& operator=(const RegistryStage&) = delete;

private:
    struct Entry {
        std::wstring path;
        std::wstring backup;
        std::wstring topMissing;
    };

    std::wstring topMissingAncestor(const std::wstring& path) const
    {
        for (size_t end = path.find(L'\\'); end != std::wstring::npos;
             end = path.find(L'\\', end + 1)) {
            if (!keyExists(root_, path.substr(0, end), view_))
                return path.substr(0, end);
        }
        return L"";
    }

    HKEY root_;
    REGSAM view_;
    std::vector<Entry> entries_;
};

// One text value of a key that is not the product's (a Windows value) set for
// a test, and put back as it was, or removed, afterwards.
class StringValueStage {
public:
    StringValueStage(HKEY root, std::wstring path, std::wstring name, const std::wstring& value)
        : root_(root), path_(std::move(path)), name_(std::move(name))
    {
        wchar_t old[1024] = {};
        DWORD bytes = sizeof(old) - sizeof(wchar_t);
        had_ = RegGetValueW(root_, path_.c_str(), name_.c_str(), RRF_RT_REG_SZ, nullptr, old, &bytes) ==
               ERROR_SUCCESS;
        old_ = old;
        setStringInView(root_, path_, name_.c_str(), value, 0);
    }
    ~StringValueStage()
    {
        if (had_) {
            setStringInView(root_, path_, name_.c_str(), old_, 0);
        } else {
            orn::unique_hkey key;
            if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
                RegDeleteValueW(key.get(), name_.c_str());
        }
    }
    StringValueStage(const StringValueStage&) = delete;
    StringValueStage& operator=(const StringValueStage&) = delete;
    void set(const std::wstring& value) const { setStringInView(root_, path_, name_.c_str(), value, 0); }

private:
    HKEY root_;
    std::wstring path_;
    std::wstring name_;
    std::wstring old_;
    bool had_ = false;
};

// Maps predefined roots of this process onto private keys under
// HKEY_CURRENT_USER for the object's life: the code under test still opens
// the predefined keys, yet sees only what the test wrote, and nothing it
// writes reaches the real registry (nor another test program's keys).
class RegistrySandbox {
public:
    struct Root {
        const wchar_t* name;
        HKEY key;
    };
    // The roots the product reads.
    static const std::vector<Root>& productRoots()
    {
        static const std::vector<Root> list = {{L"machine", HKEY_LOCAL_MACHINE},
                                               {L"user", HKEY_CURRENT_USER}};
        return list;
    }
    // Every root a registry script may name.
    static const std::vector<Root>& allRoots()
    {
        static const std::vector<Root> list = {
            {L"classes", HKEY_CLASSES_ROOT}, {L"machine", HKEY_LOCAL_MACHINE},
            {L"users", HKEY_USERS},          {L"config", HKEY_CURRENT_CONFIG},
            {L"user", HKEY_CURRENT_USER},
        };
        return list;
    }

    explicit RegistrySandbox(const std::wstring& name, const std::vector<Root>& roots = productRoots())
        : path_(L"Software\\OrnTests\\" + name + L"\\" + uniqueSuffix()), roots_(roots)
    {
        // Every private key is made through the real HKEY_CURRENT_USER before
        // any root is mapped.
        for (const Root& root : roots_) {
            orn::unique_hkey key;
            ready_ = RegCreateKeyExW(HKEY_CURRENT_USER, (path_ + L"\\" + root.name).c_str(), 0,
                                     nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                     nullptr) == ERROR_SUCCESS &&
                     ready_;
            keys_.push_back(std::move(key));
        }
        for (std::size_t i = 0; i < roots_.size(); ++i)
            ready_ = RegOverridePredefKey(roots_[i].key, keys_[i].get()) == ERROR_SUCCESS && ready_;
    }
    ~RegistrySandbox()
    {
        for (const Root& root : roots_)
            RegOverridePredefKey(root.key, nullptr);
        keys_.clear();
        // Only this object's own key goes: deleting the shared parents raced
        // with other test programs creating their sandboxes below them.
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    bool ready() const { return ready_; }
    const std::vector<Root>& roots() const { return roots_; }
    // The private key standing for roots()[index].
    HKEY key(std::size_t index) const { return keys_[index].get(); }

private:
    std::wstring path_;
    std::vector<Root> roots_;
    std::vector<orn::unique_hkey> keys_;
    bool ready_ = true;
};

}  // namespace testsupport
