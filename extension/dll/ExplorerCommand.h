#pragma once
// The scan command as Windows 11's Explorer asks for it: an Explorer command
// of the package that gives the module its identity, created in the package's
// surrogate process. One flat command, not the classic caption with one item
// below it: the caption would only add the click the new menu is meant to
// save, and the new menu groups an application's commands by itself.

#include "ClassIds.h"
#include "ComObject.h"
#include "UniqueResource.h"

#include <windows.h>
#include <ocidl.h>
#include <shobjidl.h>

class CExplorerCommand : public IExplorerCommand, public IObjectWithSite {
public:
    static const QITAB interfaces[];

    // IExplorerCommand
    STDMETHODIMP GetTitle(IShellItemArray* items, LPWSTR* name) override;
    STDMETHODIMP GetIcon(IShellItemArray* items, LPWSTR* icon) override;
    STDMETHODIMP GetToolTip(IShellItemArray* items, LPWSTR* tip) override;
    STDMETHODIMP GetCanonicalName(GUID* name) override;
    STDMETHODIMP GetState(IShellItemArray* items, BOOL okToBeSlow, EXPCMDSTATE* state) override;
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx* context) override;
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override;
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** commands) override;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID iid, void** site) override;

protected:
    CExplorerCommand() noexcept;
    ~CExplorerCommand() = default;

private:
    orn::com_ptr<IUnknown> site_;
};
