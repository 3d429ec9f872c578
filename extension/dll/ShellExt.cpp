#include "ShellExt.h"

#include "Resource.h"
#include "ScanCommand.h"
#include "ScanLauncher.h"

#include <strsafe.h>

namespace {

constexpr std::size_t textChars = CScanCommand::textChars;
// The caption item's text buffer, terminator included: longer captions are cut.
constexpr std::size_t captionChars = 32;

// The small-icon size less one pixel each way, measured for each image.
HBITMAP loadMenuImage(UINT flags) noexcept
{
    return static_cast<HBITMAP>(LoadImageW(g_moduleInstance, MAKEINTRESOURCEW(IDB_MENU),
                                           IMAGE_BITMAP, GetSystemMetrics(SM_CXSMICON) - 1,
                                           GetSystemMetrics(SM_CYSMICON) - 1, flags));
}

// How this file's diagnostics name it in the log.
constexpr char logUnit[] = ".\\ShellExt";

// Gives back a storage medium on every way out.
class MediumHolder {
public:
    explicit MediumHolder(STGMEDIUM& medium) noexcept : medium_(medium) {}
    ~MediumHolder() { ReleaseStgMedium(&medium_); }
    MediumHolder(const MediumHolder&) = delete;
    MediumHolder& operator=(const MediumHolder&) = delete;

private:
    STGMEDIUM& medium_;
};

}  // namespace

const QITAB CShellExt::interfaces[] = {
    QITABENT(CShellExt, IContextMenu),
    QITABENT(CShellExt, IShellExtInit),
    {nullptr, 0},
};

CShellExt::CShellExt() noexcept
    : uncheckedImage_(loadMenuImage(LR_LOADTRANSPARENT)),
      checkedImage_(loadMenuImage(LR_LOADTRANSPARENT | LR_MONOCHROME))
{
}

STDMETHODIMP CShellExt::Initialize(PCIDLIST_ABSOLUTE /*folder*/, IDataObject* data,
                                   HKEY /*programKey*/)
{
    // Each call replaces the selection; nothing is read from it until a command runs.
    dataObject_ = orn::com_ptr<IDataObject>(data);
    return S_OK;
}

STDMETHODIMP CShellExt::QueryContextMenu(HMENU menu, UINT index, UINT firstId, UINT /*lastId*/,
                                         UINT flags)
{
    return comBoundary([&] {
        firstCommandId_ = firstId;
        // Default-only and no-verbs requests get nothing, unless the shell
        // also asks for verbs or builds the Explorer menu.
        wchar_t text[textChars] = {};
        if (((flags & 0xF) != 0 && (flags & (CMF_VERBSONLY | CMF_EXPLORE)) == 0) ||
            // Where Windows 11 shows the packaged command, it is the one entry.
            !ClassicMenuWantedHere() || !CScanCommand::Title(text))
            return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0);

        // A separator that does not go in only changes the look; the entry follows.
        InsertMenuW(menu, index, MF_SEPARATOR | MF_BYPOSITION, 0, nullptr);
        // Without a popup the entry goes in as a plain item with the same
        // identifier, which still runs the command; a command the popup did
        // not take leaves it empty, which is all a menu out of memory can show.
        HMENU popup = CreatePopupMenu();
        InsertMenuW(popup, 0, MF_BYPOSITION | MF_STRING, firstId, text);

        if (LoadStringW(g_moduleInstance, IDS_PROJNAME, text, textChars) <= 0)
            StringCchCopyW(text, textChars, L"Quarvel");
        wchar_t caption[captionChars];
        StringCchCopyW(caption, captionChars, text);

        MENUITEMINFOW item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        item.wID = firstId;
        item.hSubMenu = popup;
        item.dwTypeData = caption;
        if (checkedImage_ && uncheckedImage_) {
            // The item is never checked, so the unchecked image is the one shown.
            item.fMask |= MIIM_CHECKMARKS;
            item.hbmpChecked = checkedImage_.get();
            item.hbmpUnchecked = uncheckedImage_.get();
        }
        // A popup that no menu took would otherwise be lost.
        if (!InsertMenuItemW(menu, index + 1, TRUE, &item) && popup)
            DestroyMenu(popup);
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    });
}

STDMETHODIMP CShellExt::InvokeCommand(CMINVOKECOMMANDINFO* info)
{
    return comBoundary([&] {
        if (!info)
            return E_INVALIDARG;
        if (HIWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) != 0) {
            logError(logUnit, __LINE__, "Invalid HIWORD");
            return E_INVALIDARG;
        }
        const UINT offset = LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb));
        if (!dataObject_)
            return E_INVALIDARG;

        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium = {};
        if (FAILED(dataObject_->GetData(&format, &medium))) {
            logError(logUnit, __LINE__, "GetData failed");
            return E_INVALIDARG;
        }
        MediumHolder holder(medium);
        HDROP drop = static_cast<HDROP>(medium.hGlobal);
        if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 0) {
            logError(logUnit, __LINE__, "objectname count is Zero");
            return E_INVALIDARG;
        }
        // Only the first selected item is scanned.
        wchar_t path[textChars];
        if (DragQueryFileW(drop, 0, path, textChars) == 0 || offset != 0)
            return E_INVALIDARG;
        return CCorvaneExtHelper().StartScan(info->hwnd, path);
    });
}

STDMETHODIMP CShellExt::GetCommandString(UINT_PTR command, UINT type, UINT* /*reserved*/,
                                         CHAR* buffer, UINT capacity)
{
    return comBoundary([&] {
        wchar_t text[textChars] = {};
        if (!CScanCommand::Help(text) || (type != GCS_HELPTEXTA && type != GCS_HELPTEXTW) ||
            command != 0 || !buffer || capacity == 0)
            return E_INVALIDARG;
        // A text longer than the caller's buffer is cut to fit.
        if (type == GCS_HELPTEXTW) {
            StringCchCopyW(reinterpret_cast<wchar_t*>(buffer), capacity, text);
        } else {
            // Room for the widest ANSI code page: UTF-8 takes up to three
            // bytes for a character that UTF-16 holds in one unit.
            char narrow[textChars * 3];
            if (!WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof(narrow), nullptr, nullptr))
                narrow[0] = '\0';
            StringCchCopyA(buffer, capacity, narrow);
        }
        return S_OK;
    });
}
