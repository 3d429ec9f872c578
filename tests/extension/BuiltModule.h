#pragma once
// Shared by the COM server, registration and shell-host tests: the built
// module loaded through its exports, a selection of our own and the items
// of the menu it fills.

#include "ClassIds.h"
#include "LogWatch.h"
#include "Process.h"
#include "ProductInstall.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace servertest {

namespace fs = std::filesystem;
using namespace testsupport;

// {9B0F6E24-C813-4A5D-B7E2-03D94C61FA85}: described by the type library only.
inline const IID IID_IShellExt = {0x9b0f6e24, 0xc813, 0x4a5d, {0xb7, 0xe2, 0x03, 0xd9, 0x4c, 0x61, 0xfa, 0x85}};
inline const std::wstring clsidText = [] {
    wchar_t text[40] = L"";
    StringFromGUID2(CLSID_ShellExt, text, 40);
    return std::wstring(text);
}();
inline const wchar_t appIdText[] = L"{2B8E4F17-6D05-4C93-A1E2-7F3B90D4C658}";
inline const wchar_t libIdText[] = L"{E3A85C62-41D7-4B9E-9C05-6F2D18A7B4E1}";

inline fs::path builtModule(const wchar_t* name = L"OrnShExt.dll")
{
    return binaryDir() / L"extension" / name;
}

// A built module loaded by its file name, reached only through its exports.
class LoadedModule {
public:
    explicit LoadedModule(const fs::path& file) : module_(LoadLibraryW(file.c_str()))
    {
        loadError_ = module_ ? 0 : GetLastError();
        if (!module_)
            return;
        exportOf("DllGetClassObject", getClassObject);
        exportOf("DllCanUnloadNow", canUnloadNow);
        exportOf("DllRegisterServer", registerServer);
        exportOf("DllUnregisterServer", unregisterServer);
    }
    bool loaded() const { return static_cast<bool>(module_); }
    DWORD loadError() const { return loadError_; }
    HMODULE handle() const { return module_.get(); }

    orn::com_ptr<IClassFactory> classObject()
    {
        orn::com_ptr<IClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(CLSID_ShellExt, IID_IClassFactory, factory.put_void()));
        return factory;
    }

    orn::com_ptr<IContextMenu> handler()
    {
        orn::com_ptr<IContextMenu> menu;
        auto factory = classObject();
        if (factory) {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IContextMenu, menu.put_void()));
        }
        return menu;
    }

    orn::com_ptr<IExplorerCommand> explorerCommand()
    {
        orn::com_ptr<IClassFactory> factory;
        orn::com_ptr<IExplorerCommand> command;
        EXPECT_EQ(S_OK, getClassObject(CLSID_ExplorerCommand, IID_IClassFactory, factory.put_void()));
        if (factory) {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IExplorerCommand, command.put_void()));
        }
        return command;
    }

    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnloadNow)() = nullptr;
    HRESULT(WINAPI* registerServer)() = nullptr;
    HRESULT(WINAPI* unregisterServer)() = nullptr;

private:
    template <typename F>
    void exportOf(const char* name, F& function)
    {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
    }

    orn::unique_hmodule module_;
    DWORD loadError_ = 0;
};

// A selection of our own: a drop list of the given paths, or a refusal of
// the drop-list format, with its reference count and requests on record.
class Selection : public IDataObject {
public:
    // Wine counts a drop list without paths as one empty path; only a list
    // it cannot read counts as none (UnreadableList).
    enum class Behaviour { DropList, RefuseDropList, UnreadableList };

    explicit Selection(std::vector<std::wstring> paths, Behaviour behaviour = Behaviour::DropList)
        : paths_(std::move(paths)), behaviour_(behaviour)
    {
    }
    virtual ~Selection() = default;

    LONG references() const { return references_; }
    int dataRequests() const { return dataRequests_; }

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override
    {
        if (!result)
            return E_POINTER;
        *result = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDataObject)) {
            *result = static_cast<IDataObject*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // Lives on the test's stack: the count is only observed.
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override
    {
        ++dataRequests_;
        if (behaviour_ == Behaviour::RefuseDropList || format->cfFormat != CF_HDROP ||
            !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        if (behaviour_ == Behaviour::UnreadableList) {
            medium->tymed = TYMED_HGLOBAL;
            medium->hGlobal = nullptr;
            medium->pUnkForRelease = nullptr;
            return S_OK;
        }
        // DROPFILES, then the wide paths each terminated, then one more terminator.
        std::wstring list;
        for (const std::wstring& path : paths_)
            list += path + L'\0';
        list += L'\0';
        const SIZE_T size = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
        HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
        auto* drop = static_cast<DROPFILES*>(GlobalLock(global));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        memcpy(drop + 1, list.data(), list.size() * sizeof(wchar_t));
        GlobalUnlock(global);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = global;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    std::vector<std::wstring> paths_;
    Behaviour behaviour_;
    std::atomic<LONG> references_{1};
    int dataRequests_ = 0;
};

struct MenuItem {
    bool separator = false;
    std::wstring text;
    UINT id = 0;
    HMENU submenu = nullptr;
    HBITMAP checked = nullptr;
    HBITMAP unchecked = nullptr;
};

inline MenuItem menuItem(HMENU menu, int position)
{
    wchar_t text[256] = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_CHECKMARKS;
    info.dwTypeData = text;
    info.cch = 256;
    MenuItem item;
    if (!GetMenuItemInfoW(menu, position, TRUE, &info))
        return item;
    item.separator = (info.fType & MFT_SEPARATOR) != 0;
    item.text = text;
    item.id = info.wID;
    item.submenu = info.hSubMenu;
    item.checked = info.hbmpChecked;
    item.unchecked = info.hbmpUnchecked;
    return item;
}

// A shell item array of the paths, as Explorer hands a selection to a
// command; computerFirst puts an item without a file-system path first (the
// computer's folder).
inline orn::com_ptr<IShellItemArray> shellItems(const std::vector<std::wstring>& paths, bool computerFirst = false)
{
    std::vector<PIDLIST_ABSOLUTE> items;
    if (computerFirst) {
        items.emplace_back();
        EXPECT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &items.back()));
    }
    for (const std::wstring& path : paths) {
        items.push_back(ILCreateFromPathW(path.c_str()));
        if (!items.back()) {
            ADD_FAILURE() << "no item for a path that does not exist";
            items.pop_back();
        }
    }
    orn::com_ptr<IShellItemArray> array;
    EXPECT_EQ(S_OK, SHCreateShellItemArrayFromIDLists(static_cast<UINT>(items.size()),
                                                      const_cast<PCIDLIST_ABSOLUTE_ARRAY>(items.data()), array.put()));
    for (PIDLIST_ABSOLUTE item : items)
        ILFree(item);
    return array;
}

// A selection of no items: the shell refuses to make an empty array itself.
class NoItems : public IShellItemArray {
public:
    virtual ~NoItems() = default;
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override
    {
        *result = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IShellItemArray) ? this : nullptr;
        return *result ? S_OK : E_NOINTERFACE;
    }
    // Lives on the test's stack.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyDescriptionList(REFPROPERTYKEY, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCount(DWORD* count) override
    {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetItemAt(DWORD, IShellItem** item) override
    {
        *item = nullptr;
        return E_INVALIDARG;
    }
    STDMETHODIMP EnumItems(IEnumShellItems**) override { return E_NOTIMPL; }
};

inline std::wstring systemProgram(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

}  // namespace servertest
