// shellhost: builds the context menu of files or folders the way Explorer
// does, from the handlers registered under the shell's context-menu handler
// keys, prints it as a tree, and runs a command of it.
//
//   shellhost [options] PATH...
//     --flags N|NAME[+NAME]  QueryContextMenu flags: normal defaultonly verbsonly
//                            explore noverbs (default normal)
//     --index N              position of the handler's items; the host puts N
//                            items of its own in front (default 0)
//     --first N              first command identifier (default 1)
//     --handler NAME|{CLSID} only the handler listed under this name or class
//     --help-text OFFSET     ask for the help text of a command (wide and ANSI)
//     --invoke OFFSET        run a command by its offset
//     --verb TEXT            run a command by a verb given as text
//     --no-init              skip IShellExtInit::Initialize
//     --list                 only list the registered handlers
//     --packaged-answered {CLSID}
//                            play Windows 11 after its first menu showed the
//                            packaged command: the Explorer command of this
//                            class, from the handler's own module, is asked
//                            for its state before the classic menu is built
//     --other-process-answered {CLSID}
//                            play another process of the user (a file dialog,
//                            a second Explorer) whose first menu showed the
//                            packaged command after this host started: a
//                            second shellhost with --packaged-answered runs to
//                            its end before this one builds its menu
//     --classic-menu-restored
//                            play a user who brought back the classic menu:
//                            the override of Windows 11's menu class is put
//                            in place for the run (and removed again)
//
//   shellhost --command {CLSID} --module DLL [--run] [PATH...]
//   shellhost --manifest AppxManifest.xml --install FOLDER [--run] [PATH...]
//     drives an Explorer command as Windows 11's Explorer does: from a shell
//     item array of the paths (none: a null selection), the command made by
//     the module's class object, named directly or found as a package's
//     manifest names it (the verb for files or folders, its surrogate class
//     and module below the install folder); --run invokes it.
//
// Exit codes: 0 success, 1 usage, 2 a path is missing, 3 no handler is
// registered, 4 a handler cannot be created, 5 a call of a handler failed.

#include "UniqueResource.h"

#include <windows.h>
#include <msxml2.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr,
                            nullptr);
    return bytes;
}

void out(const std::wstring& text)
{
    const std::string bytes = utf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::wstring format(const wchar_t* pattern, ...)
{
    wchar_t buffer[2048];
    va_list args;
    va_start(args, pattern);
    const int length = std::vswprintf(buffer, 2048, pattern, args);
    va_end(args);
    return length < 0 ? std::wstring(buffer, 2047) : std::wstring(buffer, length);
}

int fail(int code, const std::wstring& message)
{
    std::fflush(stdout);
    std::fputs(utf8(L"shellhost: " + message + L"\n").c_str(), stderr);
    return code;
}

std::wstring hresultText(HRESULT hr)
{
    std::wstring text = format(L"0x%08lX", static_cast<unsigned long>(hr));
    wchar_t* message = nullptr;
    if (FAILED(hr) && FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, hr, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr) && message) {
        std::wstring readable(message);
        LocalFree(message);
        while (!readable.empty() && (readable.back() == L'\n' || readable.back() == L'\r' || readable.back() == L' '))
            readable.pop_back();
        text += L" (" + readable + L")";
    }
    return text;
}

std::wstring guidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

struct Handler {
    std::wstring name;
    std::wstring key;
    CLSID clsid;
};

// The handlers listed under one shell key; the subkey's default value names
// the class, or else the subkey's own name does.
void collectHandlers(const std::wstring& shellKey, std::vector<Handler>& handlers)
{
    const std::wstring keyPath = shellKey + L"\\shellex\\ContextMenuHandlers";
    orn::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        wchar_t value[256] = {};
        DWORD valueSize = sizeof(value) - sizeof(wchar_t);
        const bool hasValue = RegGetValueW(key.get(), name, nullptr, RRF_RT_REG_SZ, nullptr, value, &valueSize) ==
                                  ERROR_SUCCESS && value[0];
        Handler handler{name, L"HKCR\\" + keyPath + L"\\" + name, CLSID_NULL};
        if (FAILED(CLSIDFromString(hasValue ? value : name, &handler.clsid)))
            continue;
        bool known = false;
        for (const Handler& other : handlers)
            known = known || IsEqualCLSID(other.clsid, handler.clsid);
        if (!known)
            handlers.push_back(handler);
    }
}

// Explorer's order: the file type's own class, then every file, then every
// file-system object; for folders the folder keys.
std::vector<Handler> registeredHandlers(const std::wstring& path, bool folder)
{
    std::vector<Handler> handlers;
    if (folder) {
        collectHandlers(L"Directory", handlers);
        collectHandlers(L"Folder", handlers);
    } else {
        const wchar_t* extension = PathFindExtensionW(path.c_str());
        if (*extension) {
            wchar_t progId[256] = {};
            DWORD size = sizeof(progId) - sizeof(wchar_t);
            if (RegGetValueW(HKEY_CLASSES_ROOT, extension, nullptr, RRF_RT_REG_SZ, nullptr, progId, &size) ==
                    ERROR_SUCCESS && progId[0])
                collectHandlers(progId, handlers);
        }
        collectHandlers(L"*", handlers);
    }
    collectHandlers(L"AllFilesystemObjects", handlers);
    return handlers;
}

// A shell data object for the selection, as Explorer hands it over: item
// identifiers relative to their common folder, with a drop list among its
// formats.
HRESULT createDataObject(const std::vector<std::wstring>& paths, IDataObject** result)
{
    std::vector<PIDLIST_ABSOLUTE> items;
    HRESULT hr = S_OK;
    for (const std::wstring& path : paths) {
        PIDLIST_ABSOLUTE item = nullptr;
        hr = SHParseDisplayName(path.c_str(), nullptr, &item, 0, nullptr);
        if (FAILED(hr))
            break;
        items.push_back(item);
    }
    PIDLIST_ABSOLUTE folder = nullptr;
    if (SUCCEEDED(hr)) {
        folder = ILClone(items[0]);
        if (!folder || !ILRemoveLastID(folder))
            hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) {
        std::vector<PCUITEMID_CHILD> children;
        for (PIDLIST_ABSOLUTE item : items)
            children.push_back(ILFindLastID(item));
        hr = SHCreateDataObject(folder, static_cast<UINT>(children.size()), children.data(), nullptr,
                                IID_IDataObject, reinterpret_cast<void**>(result));
        // A shell that does not implement it still has the older call.
        if (hr == E_NOTIMPL)
            hr = CIDLData_CreateFromIDArray(folder, static_cast<UINT>(children.size()),
                                            reinterpret_cast<PCUIDLIST_RELATIVE_ARRAY>(children.data()), result);
    }
    ILFree(folder);
    for (PIDLIST_ABSOLUTE item : items)
        ILFree(item);
    return hr;
}

std::wstring bitmapText(HBITMAP bitmap)
{
    BITMAP info = {};
    if (!bitmap || !GetObjectW(bitmap, sizeof(info), &info))
        return L"none";
    return format(L"%ldx%ld %u-bit", info.bmWidth, info.bmHeight, static_cast<unsigned>(info.bmBitsPixel));
}

void printMenu(HMENU menu, int depth)
{
    const std::wstring indent(depth * 4 + 2, L' ');
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_CHECKMARKS | MIIM_STATE;
        item.dwTypeData = text;
        item.cch = 512;
        if (!GetMenuItemInfoW(menu, i, TRUE, &item)) {
            out(indent + format(L"[%d] (unreadable item)\n", i));
            continue;
        }
        if (item.fType & MFT_SEPARATOR) {
            out(indent + format(L"[%d] ----------------\n", i));
            continue;
        }
        std::wstring line = indent + format(L"[%d] \"%ls\" id %u", i, text, item.wID);
        if (item.hbmpChecked || item.hbmpUnchecked)
            line += L" checkmarks(checked " + bitmapText(item.hbmpChecked) + L", unchecked " +
                    bitmapText(item.hbmpUnchecked) + L")";
        else
            line += L" no checkmarks";
        if (item.hSubMenu)
            line += L" >";
        out(line + L"\n");
        if (item.hSubMenu)
            printMenu(item.hSubMenu, depth + 1);
    }
}

bool parseFlags(const std::wstring& text, UINT& flags)
{
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(text.c_str(), &end, 0);
    if (end && *end == L'\0' && !text.empty()) {
        flags = static_cast<UINT>(number);
        return true;
    }
    static const struct { const wchar_t* name; UINT value; } names[] = {
        {L"normal", CMF_NORMAL}, {L"defaultonly", CMF_DEFAULTONLY}, {L"verbsonly", CMF_VERBSONLY},
        {L"explore", CMF_EXPLORE}, {L"noverbs", CMF_NOVERBS}, {L"extended", CMF_EXTENDEDVERBS},
    };
    flags = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t plus = text.find(L'+', start);
        const std::wstring part = text.substr(start, plus == std::wstring::npos ? std::wstring::npos : plus - start);
        bool found = false;
        for (const auto& name : names) {
            if (_wcsicmp(part.c_str(), name.name) == 0) {
                flags |= name.value;
                found = true;
            }
        }
        if (!found)
            return false;
        if (plus == std::wstring::npos)
            break;
        start = plus + 1;
    }
    return true;
}

bool parseNumber(const wchar_t* text, UINT& value)
{
    wchar_t* end = nullptr;
    value = static_cast<UINT>(std::wcstoul(text, &end, 0));
    return end && end != text && *end == L'\0';
}

struct Options {
    UINT flags = CMF_NORMAL;
    UINT index = 0;
    UINT first = 1;
    std::wstring handler;
    std::vector<UINT> helpOffsets;
    bool invoke = false;
    UINT invokeOffset = 0;
    std::string verb;
    bool noInit = false;
    bool listOnly = false;
    std::wstring packagedCommand;
    std::wstring otherProcessCommand;
    bool classicMenuRestored = false;
    std::vector<std::wstring> paths;
    // An Explorer command instead of the registered handlers.
    std::wstring command;
    std::wstring module;
    std::wstring manifest;
    std::wstring install;
    bool run = false;
};

int usage()
{
    return fail(1, L"usage: shellhost [--flags F] [--index N] [--first N] [--handler NAME|{CLSID}] "
                   L"[--help-text OFFSET] [--invoke OFFSET | --verb TEXT] [--no-init] [--list]\n"
                   L"       [--packaged-answered {CLSID}] [--other-process-answered {CLSID}]\n"
                   L"       [--classic-menu-restored] PATH...\n"
                   L"       shellhost (--command {CLSID} --module DLL | --manifest XML --install FOLDER) [--run] [PATH...]");
}

// One handler through the whole menu cycle; 0 or the exit code of a failure.
int driveHandler(const Handler& handler, const Options& options, IDataObject* data)
{
    out(format(L"handler %ls %ls\n  registered at %ls\n", handler.name.c_str(), guidText(handler.clsid).c_str(),
               handler.key.c_str()));
    orn::com_ptr<IContextMenu> menuHandler;
    HRESULT hr = CoCreateInstance(handler.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IContextMenu,
                                  menuHandler.put_void());
    if (FAILED(hr))
        return fail(4, L"cannot create handler " + guidText(handler.clsid) + L": " + hresultText(hr));

    int result = 0;
    if (!options.noInit) {
        orn::com_ptr<IShellExtInit> init;
        hr = menuHandler->QueryInterface(IID_IShellExtInit, init.put_void());
        if (SUCCEEDED(hr))
            hr = init->Initialize(nullptr, data, nullptr);
        out(L"Initialize = " + hresultText(hr) + L"\n");
        if (FAILED(hr))
            result = 5;
    }

    HMENU menu = CreatePopupMenu();
    for (UINT i = 0; i < options.index; ++i)
        AppendMenuW(menu, MF_STRING, 0x7000 + i, format(L"(host item %u)", i).c_str());
    hr = menuHandler->QueryContextMenu(menu, options.index, options.first, options.first + 0x0FFF, options.flags);
    out(format(L"QueryContextMenu(index %u, first %u, flags 0x%X) = ", options.index, options.first, options.flags) +
        hresultText(hr) + format(L", %u identifier(s) used\n", SUCCEEDED(hr) ? HRESULT_CODE(hr) : 0));
    if (FAILED(hr))
        result = 5;
    out(L"menu:\n");
    if (GetMenuItemCount(menu) == 0)
        out(L"  (empty)\n");
    printMenu(menu, 0);

    for (UINT offset : options.helpOffsets) {
        wchar_t wide[256] = {};
        hr = menuHandler->GetCommandString(offset, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(wide), 256);
        out(format(L"GetCommandString(%u, GCS_HELPTEXTW) = ", offset) + hresultText(hr) +
            (SUCCEEDED(hr) ? L" \"" + std::wstring(wide) + L"\"" : std::wstring()) + L"\n");
        char narrow[256] = {};
        const HRESULT hrA = menuHandler->GetCommandString(offset, GCS_HELPTEXTA, nullptr, narrow, 256);
        wchar_t converted[256] = {};
        MultiByteToWideChar(CP_ACP, 0, narrow, -1, converted, 256);
        out(format(L"GetCommandString(%u, GCS_HELPTEXTA) = ", offset) + hresultText(hrA) +
            (SUCCEEDED(hrA) ? L" \"" + std::wstring(converted) + L"\"" : std::wstring()) + L"\n");
        if (FAILED(hr) || FAILED(hrA))
            result = 5;
    }

    if (options.invoke || !options.verb.empty()) {
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof(info);
        info.lpVerb = options.verb.empty() ? MAKEINTRESOURCEA(options.invokeOffset) : options.verb.c_str();
        info.nShow = SW_SHOWNORMAL;
        hr = menuHandler->InvokeCommand(&info);
        if (options.verb.empty())
            out(format(L"InvokeCommand(offset %u) = ", options.invokeOffset) + hresultText(hr) + L"\n");
        else
            out(L"InvokeCommand(verb \"" + std::wstring(options.verb.begin(), options.verb.end()) + L"\") = " +
                hresultText(hr) + L"\n");
        if (FAILED(hr))
            result = 5;
    }
    DestroyMenu(menu);
    return result;
}


// ---------------------------------------------------------------------------
// Explorer commands.

// The text the shell hands back in its own memory.
std::wstring takeText(HRESULT hr, wchar_t* text)
{
    std::wstring result = hresultText(hr);
    if (SUCCEEDED(hr) && text)
        result += L" \"" + std::wstring(text) + L"\"";
    CoTaskMemFree(text);
    return result;
}

// The sizes Windows 11's menu asks an icon for, at 100 to 400 % scaling.
const int menuIconSizes[] = {16, 20, 24, 32, 40, 48, 64};

// Width, height and depth of one image of an icon resource: a bitmap header
// (twice the height: colour and mask) or a PNG stream.
std::wstring iconImageText(HMODULE module, int iconId)
{
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(iconId), MAKEINTRESOURCEW(3));
    const HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const auto* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    const DWORD size = found ? SizeofResource(module, found) : 0;
    if (!data || size < 26)
        return L"unreadable image";
    if (std::memcmp(data, "\x89PNG", 4) == 0) {
        const auto big = [data](int at) {
            return (data[at] << 24) | (data[at + 1] << 16) | (data[at + 2] << 8) | data[at + 3];
        };
        return format(L"%dx%d PNG", big(16), big(20));
    }
    BITMAPINFOHEADER header;
    if (size < sizeof(header))
        return L"unreadable image";
    std::memcpy(&header, data, sizeof(header));
    return format(L"%ldx%ld %u-bit", header.biWidth, header.biHeight / 2,
                  static_cast<unsigned>(header.biBitCount));
}

// The image each menu size picks from the icon an icon string names, as the
// system's own lookup chooses it, and whether the icon loads at that size.
std::wstring iconText(const std::wstring& location)
{
    wchar_t path[MAX_PATH] = {};
    if (location.empty() || location.size() >= MAX_PATH)
        return L"no icon\n";
    location.copy(path, location.size());
    const int index = PathParseIconLocationW(path);
    // A negative index names the icon by its resource identifier.
    if (index >= 0)
        return L"(icons by position are not listed)\n";
    const orn::unique_hmodule module(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HRSRC group = module ? FindResourceW(module.get(), MAKEINTRESOURCEW(-index), MAKEINTRESOURCEW(14))
                               : nullptr;
    const HGLOBAL loaded = group ? LoadResource(module.get(), group) : nullptr;
    auto* directory = loaded ? static_cast<BYTE*>(LockResource(loaded)) : nullptr;
    if (!directory)
        return L"does not load\n";
    using unique_hicon = orn::unique_resource<HICON, orn::closer<&DestroyIcon>>;
    std::wstring text;
    for (int size : menuIconSizes) {
        const int iconId = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        const unique_hicon icon(static_cast<HICON>(
            LoadImageW(module.get(), MAKEINTRESOURCEW(-index), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
        text += format(L"  icon at %d px: ", size) +
                (iconId ? L"image " + iconImageText(module.get(), iconId) : std::wstring(L"no image")) +
                (icon ? L", loads\n" : L", does not load\n");
    }
    return text;
}

// MSXML 3's document with XPath queries (not in mingw-w64's uuid library).
const CLSID domDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const IID domDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// The attribute of the first node an XPath expression selects.
std::wstring manifestValue(IXMLDOMDocument2* document, const wchar_t* xpath, const wchar_t* attribute)
{
    orn::com_ptr<IXMLDOMNode> node;
    orn::unique_bstr query(SysAllocString(xpath));
    if (document->selectSingleNode(query.get(), node.put()) != S_OK || !node)
        return std::wstring();
    orn::com_ptr<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(IID_IXMLDOMElement, element.put_void())))
        return std::wstring();
    VARIANT value;
    VariantInit(&value);
    orn::unique_bstr name(SysAllocString(attribute));
    std::wstring text;
    if (element->getAttribute(name.get(), &value) == S_OK && value.vt == VT_BSTR)
        text = value.bstrVal;
    VariantClear(&value);
    return text;
}

// What Explorer learns from a package: the class of the verb for this kind of
// item and the module of that class, below the package's external location.
int readManifest(const Options& options, bool folder, std::wstring& clsid, std::wstring& module)
{
    orn::com_ptr<IXMLDOMDocument2> document;
    HRESULT hr = CoCreateInstance(domDocument30, nullptr, CLSCTX_INPROC_SERVER, domDocument2,
                                  document.put_void());
    if (FAILED(hr))
        return fail(5, L"no XML reader: " + hresultText(hr));
    document->put_async(VARIANT_FALSE);
    VARIANT file;
    VariantInit(&file);
    file.vt = VT_BSTR;
    file.bstrVal = SysAllocString(options.manifest.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document->load(file, &loaded);
    VariantClear(&file);
    if (hr != S_OK || loaded != VARIANT_TRUE)
        return fail(2, L"cannot read the manifest " + options.manifest);
    const auto setText = [&document](const wchar_t* property, const wchar_t* text) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocString(text);
        document->setProperty(orn::unique_bstr(SysAllocString(property)).get(), value);
        VariantClear(&value);
    };
    setText(L"SelectionLanguage", L"XPath");
    setText(L"SelectionNamespaces",
            L"xmlns:d5='http://schemas.microsoft.com/appx/manifest/desktop/windows10/5' "
            L"xmlns:com='http://schemas.microsoft.com/appx/manifest/com/windows10'");

    const std::wstring verb = std::wstring(L"//d5:ItemType[@Type='") + (folder ? L"Directory" : L"*") + L"']/d5:Verb";
    clsid = manifestValue(document.get(), verb.c_str(), L"Clsid");
    if (clsid.empty())
        return fail(3, std::wstring(L"the manifest has no verb for ") + (folder ? L"folders" : L"files"));
    const std::wstring path =
        manifestValue(document.get(), (L"//com:SurrogateServer/com:Class[@Id='" + clsid + L"']").c_str(), L"Path");
    if (path.empty())
        return fail(3, L"the manifest serves no class " + clsid);
    module = options.install;
    if (!module.empty() && module.back() != L'\\')
        module += L'\\';
    module += path;
    if (clsid.front() != L'{')
        clsid = L"{" + clsid + L"}";
    out(L"manifest " + options.manifest + L"\n  verb class " + clsid + L"\n  module " + module + L"\n");
    return 0;
}

// The selection as Explorer hands it to a command; none for no paths.
HRESULT createItemArray(const std::vector<std::wstring>& paths, IShellItemArray** result)
{
    *result = nullptr;
    if (paths.empty())
        return S_OK;
    std::vector<PIDLIST_ABSOLUTE> items;
    HRESULT hr = S_OK;
    for (const std::wstring& path : paths) {
        PIDLIST_ABSOLUTE item = ILCreateFromPathW(path.c_str());
        if (!item) {
            hr = E_FAIL;
            break;
        }
        items.push_back(item);
    }
    if (SUCCEEDED(hr))
        hr = SHCreateShellItemArrayFromIDLists(static_cast<UINT>(items.size()),
                                               const_cast<PCIDLIST_ABSOLUTE_ARRAY>(items.data()), result);
    for (PIDLIST_ABSOLUTE item : items)
        ILFree(item);
    return hr;
}

std::wstring stateText(EXPCMDSTATE state)
{
    if (state == ECS_ENABLED)
        return L"enabled";
    std::wstring text;
    if (state & ECS_DISABLED)
        text += L"disabled ";
    if (state & ECS_HIDDEN)
        text += L"hidden ";
    if (state & ECS_CHECKBOX)
        text += L"checkbox ";
    if (state & ECS_CHECKED)
        text += L"checked ";
    return text + format(L"(0x%X)", static_cast<unsigned>(state));
}

int driveCommand(IExplorerCommand* command, IShellItemArray* items, bool run)
{
    int result = 0;
    wchar_t* text = nullptr;
    HRESULT hr = command->GetTitle(items, &text);
    out(L"GetTitle = " + takeText(hr, text) + L"\n");
    text = nullptr;
    hr = command->GetToolTip(items, &text);
    out(L"GetToolTip = " + takeText(hr, text) + L"\n");
    text = nullptr;
    hr = command->GetIcon(items, &text);
    const std::wstring icon = SUCCEEDED(hr) && text ? text : L"";
    out(L"GetIcon = " + takeText(hr, text) + L"\n" + iconText(icon));
    GUID name = GUID_NULL;
    hr = command->GetCanonicalName(&name);
    out(L"GetCanonicalName = " + hresultText(hr) + L" " + guidText(name) + L"\n");
    for (BOOL slow : {TRUE, FALSE}) {
        EXPCMDSTATE state = ECS_DISABLED;
        hr = command->GetState(items, slow, &state);
        out(format(L"GetState(okToBeSlow %ls) = ", slow ? L"true" : L"false") + hresultText(hr) + L" " +
            stateText(state) + L"\n");
        if (FAILED(hr))
            result = 5;
    }
    EXPCMDFLAGS flags = 0;
    hr = command->GetFlags(&flags);
    out(L"GetFlags = " + hresultText(hr) + format(L" 0x%X%ls\n", static_cast<unsigned>(flags),
                                                  (flags & ECF_HASSUBCOMMANDS) ? L" (has subcommands)" : L""));
    orn::com_ptr<IEnumExplorerCommand> subcommands;
    hr = command->EnumSubCommands(subcommands.put());
    out(L"EnumSubCommands = " + hresultText(hr) + L"\n");
    for (orn::com_ptr<IExplorerCommand> sub; subcommands && subcommands->Next(1, sub.put(), nullptr) == S_OK;) {
        text = nullptr;
        const HRESULT title = sub->GetTitle(items, &text);
        out(L"  subcommand " + takeText(title, text) + L"\n");
    }
    if (run) {
        hr = command->Invoke(items, nullptr);
        out(L"Invoke = " + hresultText(hr) + L"\n");
        if (FAILED(hr))
            result = 5;
    }
    return result;
}

// The command made the way the package's surrogate makes it: from the class
// object of the module, which the caller loaded from its path.
HRESULT createCommand(HMODULE module, const CLSID& clsid, orn::com_ptr<IExplorerCommand>& command)
{
    using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject)
        return CLASS_E_CLASSNOTAVAILABLE;
    orn::com_ptr<IClassFactory> factory;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, factory.put_void());
    if (SUCCEEDED(hr))
        hr = factory->CreateInstance(nullptr, IID_IExplorerCommand, command.put_void());
    return hr;
}

int runCommand(const Options& options, const std::vector<std::wstring>& paths, bool folder)
{
    std::wstring clsidText = options.command;
    std::wstring modulePath = options.module;
    if (!options.manifest.empty()) {
        const int code = readManifest(options, folder, clsidText, modulePath);
        if (code)
            return code;
    }
    CLSID clsid = CLSID_NULL;
    if (FAILED(CLSIDFromString(clsidText.c_str(), &clsid)))
        return usage();
    orn::unique_hmodule module(LoadLibraryW(modulePath.c_str()));
    if (!module)
        return fail(4, L"cannot load " + modulePath + format(L": error %lu", GetLastError()));
    using CanUnloadNowFn = HRESULT(WINAPI*)();
    const auto canUnloadNow = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), "DllCanUnloadNow")));
    if (!canUnloadNow)
        return fail(4, modulePath + L" is no COM server");
    out(L"explorer command " + guidText(clsid) + L" from " + modulePath + L"\n");
    out(std::wstring(L"selection (") + (paths.empty() ? L"none" : folder ? L"folder" : L"file") + L"):\n");
    for (const std::wstring& path : paths)
        out(L"  " + path + L"\n");

    int result = 0;
    {
        orn::com_ptr<IExplorerCommand> command;
        HRESULT hr = createCommand(module.get(), clsid, command);
        if (FAILED(hr))
            return fail(4, L"cannot create the command " + guidText(clsid) + L": " + hresultText(hr));
        orn::com_ptr<IShellItemArray> items;
        hr = createItemArray(paths, items.put());
        if (FAILED(hr))
            return fail(5, L"cannot build the shell item array: " + hresultText(hr));
        // Explorer gives the command its site before it asks anything.
        orn::com_ptr<IObjectWithSite> withSite;
        if (SUCCEEDED(command->QueryInterface(IID_IObjectWithSite, withSite.put_void())))
            withSite->SetSite(nullptr);
        result = driveCommand(command.get(), items.get(), options.run);
    }
    out(L"DllCanUnloadNow = " + hresultText(canUnloadNow()) + L"\n");
    return result;
}

// What Windows 11's Explorer has done before "Show more options" builds the
// classic menu: its first menu asked the packaged command for its state. The
// command comes from the module the handler's class is registered with, as
// the package's surrogate loads it.
int answerPackagedCommand(const Handler& handler, const std::wstring& commandClass,
                          const std::vector<std::wstring>& paths)
{
    CLSID clsid = CLSID_NULL;
    if (FAILED(CLSIDFromString(commandClass.c_str(), &clsid)))
        return usage();
    wchar_t modulePath[MAX_PATH] = {};
    DWORD bytes = sizeof(modulePath) - sizeof(wchar_t);
    const std::wstring serverKey = L"CLSID\\" + guidText(handler.clsid) + L"\\InprocServer32";
    if (RegGetValueW(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, modulePath,
                     &bytes) != ERROR_SUCCESS)
        return fail(4, L"no module registered for " + guidText(handler.clsid));
    const orn::unique_hmodule module(LoadLibraryW(modulePath));
    if (!module)
        return fail(4, std::wstring(L"cannot load ") + modulePath);
    orn::com_ptr<IExplorerCommand> command;
    orn::com_ptr<IShellItemArray> items;
    HRESULT hr = createCommand(module.get(), clsid, command);
    if (SUCCEEDED(hr))
        hr = createItemArray(paths, items.put());
    EXPCMDSTATE state = ECS_DISABLED;
    if (SUCCEEDED(hr))
        hr = command->GetState(items.get(), FALSE, &state);
    out(L"packaged command " + guidText(clsid) + L" asked first: GetState = " + hresultText(hr) +
        (SUCCEEDED(hr) ? L" " + stateText(state) : std::wstring()) + L"\n");
    return FAILED(hr) ? 5 : 0;
}

// Another process of the user asks the packaged command: this program again,
// playing Windows 11's first menu for the same paths, with its output left
// out but its exit code and process id told.
int answerInAnotherProcess(const std::wstring& commandClass, const std::vector<std::wstring>& paths)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return fail(5, L"cannot name this program");
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --packaged-answered " + commandClass;
    for (const std::wstring& path : paths)
        commandLine += L" \"" + path + L"\"";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const orn::unique_file nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                           OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return fail(5, format(L"cannot start another host (error %lu)", GetLastError()));
    const orn::unique_handle child(process.hProcess), thread(process.hThread);
    WaitForSingleObject(child.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.get(), &code);
    out(format(L"another process (id %lu) asked the packaged command first: exit %lu\n", process.dwProcessId,
               code));
    return code ? 5 : 0;
}

// The per-user override with which a user brings back the classic menu, in
// place while the object lives; removed again only if this run made it.
class ClassicMenuOverride {
public:
    ClassicMenuOverride()
    {
        orn::unique_hkey existing;
        hadClass_ = RegOpenKeyExW(HKEY_CURRENT_USER, classKey, 0, KEY_READ, existing.put()) == ERROR_SUCCESS;
        orn::unique_hkey key;
        DWORD disposition = 0;
        const std::wstring server = std::wstring(classKey) + L"\\InprocServer32";
        if (RegCreateKeyExW(HKEY_CURRENT_USER, server.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            key.put(), &disposition) == ERROR_SUCCESS) {
            made_ = disposition == REG_CREATED_NEW_KEY;
            if (made_)
                RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                               sizeof(wchar_t));
        }
        out(L"classic menu brought back for this user (HKCU\\" + server + L")\n");
    }
    ~ClassicMenuOverride()
    {
        if (!made_)
            return;
        RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(classKey) + L"\\InprocServer32").c_str());
        if (!hadClass_)
            RegDeleteKeyW(HKEY_CURRENT_USER, classKey);
    }
    ClassicMenuOverride(const ClassicMenuOverride&) = delete;
    ClassicMenuOverride& operator=(const ClassicMenuOverride&) = delete;

private:
    static constexpr const wchar_t* classKey =
        L"Software\\Classes\\CLSID\\{86ca1aa0-34aa-4e8b-a509-50c905bae2a2}";
    bool hadClass_ = false;
    bool made_ = false;
};

int run(const Options& options)
{
    for (const std::wstring& path : options.paths) {
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            return fail(2, L"no such file or folder: " + path);
    }
    wchar_t full[MAX_PATH];
    std::vector<std::wstring> paths;
    for (const std::wstring& path : options.paths) {
        if (!GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr))
            return fail(2, L"cannot resolve " + path);
        paths.push_back(full);
    }
    const bool folder = !paths.empty() && (GetFileAttributesW(paths[0].c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!options.command.empty() || !options.manifest.empty())
        return runCommand(options, paths, folder);
    std::vector<Handler> handlers = registeredHandlers(paths[0], folder);
    if (!options.handler.empty()) {
        std::vector<Handler> chosen;
        CLSID wanted = CLSID_NULL;
        const bool byClass = SUCCEEDED(CLSIDFromString(options.handler.c_str(), &wanted));
        for (const Handler& handler : handlers) {
            if ((byClass && IsEqualCLSID(handler.clsid, wanted)) || _wcsicmp(handler.name.c_str(), options.handler.c_str()) == 0)
                chosen.push_back(handler);
        }
        if (chosen.empty())
            return fail(3, L"no context-menu handler \"" + options.handler + L"\" is registered for " +
                               (folder ? L"folders" : L"files"));
        handlers = chosen;
    }
    if (handlers.empty())
        return fail(3, std::wstring(L"no context-menu handler is registered for ") + (folder ? L"folders" : L"files"));

    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(&version))
        out(format(L"platform %lu.%lu\n", version.dwMajorVersion, version.dwMinorVersion));
    out(std::wstring(L"selection (") + (folder ? L"folder" : L"file") + L"):\n");
    for (const std::wstring& path : paths)
        out(L"  " + path + L"\n");
    if (options.listOnly) {
        for (const Handler& handler : handlers)
            out(L"handler " + handler.name + L" " + guidText(handler.clsid) + L" at " + handler.key + L"\n");
        return 0;
    }

    orn::com_ptr<IDataObject> data;
    HRESULT hr = createDataObject(paths, data.put());
    if (FAILED(hr))
        return fail(5, L"cannot build the data object of the selection: " + hresultText(hr));

    std::unique_ptr<ClassicMenuOverride> restoredMenu;
    if (options.classicMenuRestored)
        restoredMenu = std::make_unique<ClassicMenuOverride>();
    if (!options.otherProcessCommand.empty()) {
        const int code = answerInAnotherProcess(options.otherProcessCommand, paths);
        if (code)
            return code;
    }
    int result = 0;
    for (const Handler& handler : handlers) {
        if (!options.packagedCommand.empty()) {
            const int code = answerPackagedCommand(handler, options.packagedCommand, paths);
            if (code)
                return code;
        }
        const int code = driveHandler(handler, options, data.get());
        if (code && !result)
            result = code;
    }
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // Plain line feeds, whatever reads the output.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    Options options;
    const std::pair<const wchar_t*, std::wstring*> texts[] = {
        {L"--handler", &options.handler}, {L"--packaged-answered", &options.packagedCommand},
        {L"--other-process-answered", &options.otherProcessCommand},
        {L"--command", &options.command}, {L"--module", &options.module},
        {L"--manifest", &options.manifest}, {L"--install", &options.install}};
    const std::pair<const wchar_t*, bool*> switches[] = {
        {L"--no-init", &options.noInit}, {L"--list", &options.listOnly},
        {L"--classic-menu-restored", &options.classicMenuRestored}, {L"--run", &options.run}};
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool known = false;
        for (const auto& text : texts) {
            if (arg == text.first && value && !known) {
                *text.second = argv[++i];
                known = true;
            }
        }
        for (const auto& flag : switches) {
            if (arg == flag.first)
                known = *flag.second = true;
        }
        // A value that does not parse makes the option unknown.
        UINT offset = 0;
        auto number = [&](UINT& into) { return value && parseNumber(value, into) && ++i; };
        if (known || (arg == L"--flags" && value && parseFlags(value, options.flags) && ++i) ||
            (arg == L"--index" && number(options.index)) ||
            (arg == L"--first" && number(options.first)))
            continue;
        if (arg == L"--invoke" && number(options.invokeOffset))
            options.invoke = true;
        else if (arg == L"--help-text" && number(offset))
            options.helpOffsets.push_back(offset);
        else if (arg == L"--verb" && value)
            options.verb = utf8(argv[++i]);
        else if (arg.size() > 1 && arg.compare(0, 2, L"--") == 0)
            return usage();
        else
            options.paths.push_back(arg);
    }
    const bool explorerCommand = (!options.command.empty() && !options.module.empty()) ||
                                 (!options.manifest.empty() && !options.install.empty());
    if (options.paths.empty() && !explorerCommand)
        return usage();

    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr))
        return fail(5, L"CoInitializeEx failed: " + hresultText(hr));
    const int result = run(options);
    CoUninitialize();
    return result;
}
