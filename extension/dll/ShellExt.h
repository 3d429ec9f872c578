#pragma once
// The context-menu handler the shell creates for each menu of files and
// folders: one separator and one submenu, headed by the product caption, whose
// single command hands the first selected path to the scan launcher.

#include "ComObject.h"
#include "UniqueResource.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

class CShellExt : public IContextMenu, public IShellExtInit {
public:
    // IContextMenu first: it is the object's primary table.
    static const QITAB interfaces[];

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT firstId, UINT lastId,
                                  UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* buffer,
                                  UINT capacity) override;

    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY programKey) override;

protected:
    // Loads the menu images; a failed load leaves the entry without them.
    CShellExt() noexcept;
    ~CShellExt() = default;

private:
    orn::com_ptr<IDataObject> dataObject_;
    // Recorded for the shell's benefit; only offset 0 is ever used.
    UINT firstCommandId_ = 0;
    orn::unique_hbitmap uncheckedImage_;
    orn::unique_hbitmap checkedImage_;
};
