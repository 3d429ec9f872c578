// The reader of the language list file, on the platform's XML document object.
#include "LanguageDetail.h"
#include "MUIHelper.h"

#include "UniqueResource.h"

#include <msxml.h>
#include <oleauto.h>

#include <cwchar>

namespace orn {
namespace language {
namespace {

// The version-independent document class and its interface.
const CLSID kDomDocumentClass = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kDomDocumentInterface = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// A BSTR that must exist: a failed allocation is thrown as the class's own
// out-of-memory exception.
orn::unique_bstr MakeBstr(const wchar_t* text)
{
    orn::unique_bstr value(SysAllocString(text));
    if (!value)
        throw MUIHelperOutOfMemory();
    return value;
}

// The text of a named attribute of a node (a null BSTR is the empty text);
// false when the node has no attributes, lacks the name, or the value is not
// text.
bool ReadAttribute(IXMLDOMNode* node, BSTR name, orn::unique_bstr& text)
{
    com_ptr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(node->get_attributes(attributes.put())) || !attributes)
        return false;
    com_ptr<IXMLDOMNode> attribute;
    if (FAILED(attributes->getNamedItem(name, attribute.put())) || !attribute)
        return false;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(attribute->get_nodeValue(&value)) && value.vt == VT_BSTR) {
        text.reset(value.bstrVal);
        return true;
    }
    VariantClear(&value);
    return false;
}

}  // namespace

int ReadLanguageBitPosition(const std::wstring& path, const std::wstring& languageHex)
{
    // When the thread already runs another apartment model our CoInitialize
    // fails, and undoing it would tear down the caller's own initialisation.
    const HRESULT com = CoInitialize(nullptr);
    const auto uninitialize = orn::scope_exit([com] {
        if (SUCCEEDED(com))
            CoUninitialize();
    });
    int position = -1;

    com_ptr<IXMLDOMDocument> document;
    if (FAILED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_ALL, kDomDocumentInterface,
                                document.put_void())) ||
        !document)
        return position;

    const orn::unique_bstr file = MakeBstr(path.c_str());
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = file.get();  // still owned by `file`
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(document->load(source, &loaded)) || loaded != VARIANT_TRUE)
        return position;

    return FindLanguageBitPosition(document.get(), languageHex);
}

int FindLanguageBitPosition(IUnknown* unknown, const std::wstring& languageHex)
{
    int position = -1;
    com_ptr<IXMLDOMDocument> document;
    if (!unknown || FAILED(unknown->QueryInterface(kDomDocumentInterface, document.put_void())))
        return position;
    // The first node is taken as the list element whatever it is: a leading
    // declaration or comment leaves no entries.
    com_ptr<IXMLDOMNode> list;
    if (FAILED(document->get_firstChild(list.put())) || !list)
        return position;
    com_ptr<IXMLDOMNode> entry;
    if (FAILED(list->get_firstChild(entry.put())) || !entry)
        return position;

    const orn::unique_bstr languageName = MakeBstr(L"langID");
    const orn::unique_bstr positionName = MakeBstr(L"BitmaskBitPosition");
    const int languageLength = static_cast<int>(languageHex.size());
    while (entry) {
        orn::unique_bstr language;
        if (!ReadAttribute(entry.get(), languageName.get(), language))
            break;  // an entry without the attribute ends the search
        const wchar_t* text = language ? language.get() : L"";
        if (CompareStringOrdinal(text, static_cast<int>(SysStringLen(language.get())),
                                 languageHex.c_str(), languageLength, TRUE) == CSTR_EQUAL) {
            orn::unique_bstr value;
            if (ReadAttribute(entry.get(), positionName.get(), value))
                position = static_cast<int>(ParseDecimal(value ? value.get() : L""));
            break;
        }
        com_ptr<IXMLDOMNode> next;
        if (entry->get_nextSibling(next.put()) != S_OK)
            break;
        entry = next;
    }
    return position;
}

}  // namespace language
}  // namespace orn
