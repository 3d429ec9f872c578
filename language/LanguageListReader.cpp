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

// Keeps COM initialised for one read. When the thread already runs another
// apartment model our CoInitialize fails, and undoing it would tear down the
// caller's own initialisation, so only a successful one is undone.
class ComScope {
public:
    ComScope() noexcept : result_(CoInitialize(nullptr)) {}
    ~ComScope()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT result_;
};

// A BSTR that must exist: a failed allocation is thrown as the class's own
// out-of-memory exception.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : value_(SysAllocString(text))
    {
        if (!value_)
            throw MUIHelperOutOfMemory();
    }
    BSTR get() const noexcept { return value_.get(); }

private:
    orn::unique_bstr value_;
};

class Variant {
public:
    Variant() noexcept { VariantInit(&value_); }
    ~Variant() { VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* put() noexcept
    {
        VariantClear(&value_);
        return &value_;
    }
    // The string held, or null when the value is not a string.
    BSTR string() const noexcept { return value_.vt == VT_BSTR ? value_.bstrVal : nullptr; }
    bool isString() const noexcept { return value_.vt == VT_BSTR; }

private:
    VARIANT value_;
};

// The value of a named attribute of a node; false when the node has no
// attributes, lacks the name, or the value is not text.
bool ReadAttribute(IXMLDOMNode* node, const Bstr& name, Variant& value)
{
    com_ptr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(node->get_attributes(attributes.put())) || !attributes)
        return false;
    com_ptr<IXMLDOMNode> attribute;
    if (FAILED(attributes->getNamedItem(name.get(), attribute.put())) || !attribute)
        return false;
    if (FAILED(attribute->get_nodeValue(value.put())))
        return false;
    return value.isString();
}

}  // namespace

int ReadLanguageBitPosition(const std::wstring& path, const std::wstring& languageHex)
{
    ComScope com;
    int position = -1;

    com_ptr<IXMLDOMDocument> document;
    if (FAILED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_ALL, kDomDocumentInterface,
                                document.put_void())) ||
        !document)
        return position;

    const Bstr file(path.c_str());
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

    const Bstr languageName(L"langID");
    const Bstr positionName(L"BitmaskBitPosition");
    const int languageLength = static_cast<int>(languageHex.size());
    while (entry) {
        Variant language;
        if (!ReadAttribute(entry.get(), languageName, language))
            break;  // an entry without the attribute ends the search
        const BSTR text = language.string();
        const int length = text ? static_cast<int>(SysStringLen(text)) : 0;
        if (CompareStringOrdinal(text ? text : L"", length, languageHex.c_str(), languageLength,
                                 TRUE) == CSTR_EQUAL) {
            Variant value;
            if (ReadAttribute(entry.get(), positionName, value))
                position = static_cast<int>(ParseDecimal(value.string() ? value.string() : L""));
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
