#pragma once
// The context-menu handler the shell creates for each menu of files and
// folders: one separator and one submenu, headed by the product caption, whose
// single command hands the first selected path to the scan launcher.

#include "ClassIds.h"
#include "ComObject.h"
#include "UniqueResource.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

class CShellExt : public CComObjectRootEx<CComSingleThreadModel>,
                  public CComCoClass<CShellExt, &CLSID_ShellExt>,
                  public IContextMenu,
                  public IShellExtInit {
public:
    static HRESULT UpdateRegistry(bool registering) noexcept;
    // IContextMenu first: it is the object's primary table.
    static const QITAB* interfaceTable() noexcept;

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT firstId, UINT lastId,
                                  UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* buffer,
                                  UINT capacity) override;

    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY programKey) override;

protected:
    CShellExt() noexcept = default;
    virtual ~CShellExt() = default;

    // Loads the menu images; a failed load leaves the entry without them.
    HRESULT FinalConstruct() noexcept;

private:
    orn::com_ptr<IDataObject> dataObject_;
    // Recorded for the shell's benefit; only offset 0 is ever used.
    UINT firstCommandId_ = 0;
    orn::unique_hbitmap uncheckedImage_;
    orn::unique_hbitmap checkedImage_;
};
