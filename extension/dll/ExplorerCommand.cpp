#include "ExplorerCommand.h"

#include "RegistryValues.h"
#include "Resource.h"
#include "ScanCommand.h"
#include "ScanLauncher.h"
#include "SurrogateExit.h"

#include <shlwapi.h>

namespace {

using TextBuffer = wchar_t[CScanCommand::textChars];

// A text of the command, as read(TextBuffer&) fills it, handed to the shell
// in memory it frees itself.
template <typename Read>
HRESULT shellText(Read read, LPWSTR* result) noexcept
{
    if (!result)
        return E_POINTER;
    *result = nullptr;
    return comBoundary([&] {
        TextBuffer text = {};
        return read(text) ? SHStrDupW(text, result) : E_FAIL;
    });
}

// How this file's diagnostics name it in the log.
constexpr char logUnit[] = ".\\ExplorerCommand";

}  // namespace

CExplorerCommand::CExplorerCommand() noexcept
{
    EndSurrogateWithServicing();
}

const QITAB CExplorerCommand::interfaces[] = {
    QITABENT(CExplorerCommand, IExplorerCommand),
    QITABENT(CExplorerCommand, IObjectWithSite),
    {nullptr, 0},
};

STDMETHODIMP CExplorerCommand::GetTitle(IShellItemArray* /*items*/, LPWSTR* name)
{
    return shellText(&CScanCommand::Title, name);
}

STDMETHODIMP CExplorerCommand::GetToolTip(IShellItemArray* /*items*/, LPWSTR* tip)
{
    return shellText(&CScanCommand::Help, tip);
}

STDMETHODIMP CExplorerCommand::GetIcon(IShellItemArray* /*items*/, LPWSTR* icon)
{
    return shellText(
        [](TextBuffer& location) {
            return CScanCommand::IconLocation(g_moduleInstance, IDI_SCAN, location);
        },
        icon);
}

STDMETHODIMP CExplorerCommand::GetCanonicalName(GUID* name)
{
    if (!name)
        return E_POINTER;
    *name = CLSID_ExplorerCommand;
    return S_OK;
}

STDMETHODIMP CExplorerCommand::GetState(IShellItemArray* items, BOOL /*okToBeSlow*/,
                                        EXPCMDSTATE* state)
{
    if (!state)
        return E_POINTER;
    // Answered at once whether slowness is allowed or not: a pending or
    // disabled answer leaves a greyed item behind in the new menu.
    TextBuffer path;
    wchar_t installDir[installFolderChars];
    *state = FirstFileSystemPath(items, path) && ReadInstallFolder(installDir) ? ECS_ENABLED
                                                                               : ECS_HIDDEN;
    // The host that asked shows the packaged command from now on, and its
    // classic menu can leave its own entry out; a hidden command shows
    // nothing there.
    if (*state == ECS_ENABLED)
        RecordPackagedCommandShown();
    return S_OK;
}

STDMETHODIMP CExplorerCommand::Invoke(IShellItemArray* items, IBindCtx* /*context*/)
{
    return comBoundary([&] {
        DWORD count = 0;
        if (!items || FAILED(items->GetCount(&count)) || count == 0) {
            logError(logUnit, __LINE__, "objectname count is Zero");
            return E_INVALIDARG;
        }
        // Only the first item with a path is scanned, as the classic menu
        // scans the first of its drop list; none at all is the launcher's
        // empty target.
        TextBuffer path;
        FirstFileSystemPath(items, path);
        return CCorvaneExtHelper().StartScan(nullptr, path,
                                             CCorvaneExtHelper::Route::outsidePackage);
    });
}

STDMETHODIMP CExplorerCommand::GetFlags(EXPCMDFLAGS* flags)
{
    if (!flags)
        return E_POINTER;
    *flags = ECF_DEFAULT;
    return S_OK;
}

STDMETHODIMP CExplorerCommand::EnumSubCommands(IEnumExplorerCommand** commands)
{
    if (commands)
        *commands = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CExplorerCommand::SetSite(IUnknown* site)
{
    site_ = orn::com_ptr<IUnknown>(site);
    return S_OK;
}

STDMETHODIMP CExplorerCommand::GetSite(REFIID iid, void** site)
{
    if (!site)
        return E_POINTER;
    *site = nullptr;
    return site_ ? site_->QueryInterface(iid, site) : E_FAIL;
}
