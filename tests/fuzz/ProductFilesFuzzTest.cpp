// Hostile product files and registry values: "GenStrings.bin" and
// "Languages.xml" files, and values of every type, length and termination
// under the keys the menu strings, the language class and the log manager
// read (HKEY_CURRENT_USER's included: a user controls those). The
// predefined roots map onto private keys, so nothing real is read or written.
//
// Files cost a profile read or an XML load each under Wine (one to three
// milliseconds): 1500 strings files, 900 language lists end to end; then in
// depth, 100000 entries of strings files read two hundred to a file and 100000
// language lists loaded into one document. Registry values are cheaper: 2400
// values for the language class and 1500 sets of the Log key's three values.

#include "Files.h"
#include "FuzzSupport.h"
#include "Registry.h"

#include "DefaultLogManager.h"
#include "MenuStrings.h"
#include "LanguageDetail.h"
#include "LogRecord.h"
#include "MUIHelper.h"

#include <msxml.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

constexpr std::uint64_t defaultSeed = 0xf11e5eedull;
const wchar_t productKey[] = L"SOFTWARE\\Quarvel\\Hollowmere";
const wchar_t agentKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent";
const wchar_t desktopKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI";

using testsupport::setString;
using testsupport::setValue;

// A hostile value: any type, odd sizes, no terminator, over-long, and now
// and then a well-formed one. `readable` tells whether the common rule of
// the language class and the log manager reads it (REG_SZ or REG_EXPAND_SZ,
// even size, terminated, at most `limit` characters) and `text` what it reads.
//
// A string value stored without its terminator is the platform's to judge:
// Wine's RegQueryValueExW sometimes appends one. Such a value is `unsure`:
// the reader may take it as absent, or as its characters up to the first NUL.
struct HostileValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
    bool readable = false;
    bool unsure = false;
    std::wstring text;
};

HostileValue hostileValue(fuzz::Random& random, const std::vector<std::wstring>& good,
                          std::size_t limit)
{
    HostileValue value;
    static const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ,
                                  REG_NONE, REG_QWORD};
    value.type = random.chance(60) ? (random.chance(50) ? REG_SZ : REG_EXPAND_SZ)
                                   : types[random.below(7)];
    std::wstring text;
    switch (random.below(5)) {
    case 0:
        text = random.pick(good);
        break;
    case 1:
        text = std::wstring(limit - 2 + random.below(5), L'7');
        break;
    case 2:
        text = std::wstring(random.below(5000), L'x');
        break;
    case 3:
        for (std::size_t i = random.below(40); i > 0; --i)
            text += random.anyCharacter();
        break;
    default:
        text = fuzz::mutate(random, random.pick(good), 2);
        break;
    }
    const BYTE* raw = reinterpret_cast<const BYTE*>(text.c_str());
    std::size_t size = (text.size() + 1) * sizeof(wchar_t);
    switch (random.below(4)) {
    case 0:
        size -= sizeof(wchar_t);  // no terminator
        break;
    case 1:
        if (size > 1)
            size -= 1;  // odd size
        break;
    default:
        break;
    }
    if (random.chance(5))
        size = 0;
    value.bytes.assign(raw, raw + size);
    // The rule, read directly.
    const bool stringType = value.type == REG_SZ || value.type == REG_EXPAND_SZ;
    const std::size_t chars = size / sizeof(wchar_t);
    if (stringType && size % sizeof(wchar_t) == 0) {
        if (chars == 0) {
            value.readable = true;
        } else if (text.c_str()[chars - 1] == L'\0') {
            value.readable = chars <= limit + 1;
            value.text = text.c_str();  // up to the first terminator
        } else {
            value.unsure = true;
            value.text =
                std::wstring(text.c_str(), std::find(text.c_str(), text.c_str() + chars, L'\0'));
        }
    }
    return value;
}

std::string narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::string describe(const HostileValue& value)
{
    return "type " + std::to_string(value.type) + " bytes " + std::to_string(value.bytes.size()) +
           (value.readable ? " readable" : value.unsure ? " unterminated" : " unreadable") +
           (value.readable || value.unsure ? " \"" + narrow(value.text) + "\"" : std::string());
}

void setHostile(HKEY root, const wchar_t* subKey, const wchar_t* name, const HostileValue& value)
{
    setValue(root, subKey, name, value.type, value.bytes.data(), value.bytes.size());
}

class ProductFilesFuzz : public ::testing::Test {
protected:
    // One private registry for the whole program: the log manager keeps the
    // Log key it opened first for the life of the process.
    static void SetUpTestSuite()
    {
        registry.reset(new testsupport::RegistrySandbox(L"fuzz\\product",
                                                        testsupport::RegistrySandbox::allRoots()));
    }
    static void TearDownTestSuite() { registry.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(registry->ready());
        install = fuzz::outputFolder(L"install");
        CreateDirectoryW((install + L"\\Agent").c_str(), nullptr);
        CreateDirectoryW((install + L"\\Agent\\Res").c_str(), nullptr);
        CreateDirectoryW((install + L"\\Agent\\Res\\0409").c_str(), nullptr);
        setString(HKEY_LOCAL_MACHINE, productKey, L"szInstallDir", install);
        // The stored choice fixes the language whatever Wine's UI language is.
        setString(HKEY_CURRENT_USER, desktopKey, L"LANGID", L"1033");
        // Failed lookups log; their lines go to a log of this test's own.
        setString(HKEY_LOCAL_MACHINE, logRegistryKey, L"szCurrentActivityType", L"proofFuzz");
    }
    void TearDown() override
    {
        DeleteFileW((install + L"\\Agent\\Res\\0409\\GenStrings.bin").c_str());
        DeleteFileW((install + L"\\Agent\\Languages.xml").c_str());
        DeleteFileW((std::wstring(logDirectory.get()) + L"\\proofFuzz.log").c_str());
    }

    static std::unique_ptr<testsupport::RegistrySandbox> registry;
    std::wstring install;
    const std::uint64_t seed = fuzz::seedFromEnvironment(defaultSeed);
};

std::unique_ptr<testsupport::RegistrySandbox> ProductFilesFuzz::registry;

// Values a strings file may give, free of what the profile reader trims.
std::wstring safeText(fuzz::Random& random, std::size_t maximum)
{
    std::wstring text;
    for (std::size_t i = 1 + random.below(maximum); i > 0; --i)
        text += static_cast<wchar_t>(L'a' + random.below(26));
    return text;
}

TEST_F(ProductFilesFuzz, StringsFilesGiveTheirValueOrNothing)
{
    fuzz::Random random(seed);
    const std::wstring path = install + L"\\Agent\\Res\\0409\\GenStrings.bin";
    int found = 0;
    for (int n = 0; n < 1500; ++n) {
        std::string file;
        std::wstring expected;
        const bool generated = n % 2 == 0;
        const std::wstring value = safeText(random, random.chance(10) ? 3000 : 40);
        if (generated) {
            if (random.chance(50))
                file += "[OTHER]\r\nIDS_SCAN=not this\r\n";
            file += "[STR_SCANNOW]\r\n";
            if (random.chance(80)) {
                file += "IDS_SCAN=" + std::string(value.begin(), value.end()) + "\r\n";
                expected = value;
            }
            file += "IDS_EXP_SCANNOW_DSTRING=x\r\n";
        } else {
            const std::string base = "[STR_SCANNOW]\r\nIDS_SCAN=" +
                                     std::string(value.begin(), value.end()) + "\r\n";
            file = random.chance(80) ? fuzz::mutate(random, base, 1 + static_cast<int>(random.below(10)))
                                     : std::string(random.below(4000), '\0');
            if (file.size() > 0 && random.chance(20))
                for (char& c : file)
                    c = static_cast<char>(random.below(256));
        }
        ASSERT_TRUE(testsupport::writeFile(path, file.data(), file.size()));
        // A small capacity cuts the value; the room past it must stay untouched.
        const std::size_t capacity = random.chance(30) ? 1 + random.below(16) : 1024;
        std::vector<wchar_t> result(capacity + 64, L'#');
        const int answer =
            CGenStrings().GetString(L"IDS_SCAN", result.data(), capacity);
        for (std::size_t i = capacity; i < result.size(); ++i)
            ASSERT_EQ(L'#', result[i]) << "seed " << seed << " case " << n << ": written past";
        ASSERT_TRUE(std::find(result.begin(), result.begin() + capacity, L'\0') !=
                    result.begin() + capacity)
            << "case " << n << ": not terminated";
        ASSERT_TRUE(answer == 0 || answer == 1);
        if (generated) {
            const std::wstring cut = expected.substr(0, capacity - 1);
            ASSERT_EQ(cut.empty() ? 0 : 1, answer) << "seed " << seed << " case " << n;
            ASSERT_EQ(cut, std::wstring(result.data())) << "seed " << seed << " case " << n;
        }
        found += answer;
    }
    EXPECT_GT(found, 500);
}

// The strings file in depth: each file holds a hundred entries, well formed
// or hostile, so that one write serves two hundred lookups (the profile reader
// parses a file once and keeps it while it is unchanged), read by the file
// reader alone, without the install-folder and language look-ups of each
// call of GetStringFrom.
TEST_F(ProductFilesFuzz, StringsFilesOfManyEntriesGiveEachItsValue)
{
    fuzz::Random random(seed + 6);
    const std::wstring path = install + L"\\Agent\\Res\\0409\\GenStrings.bin";
    constexpr int files = 500, entries = 200;
    int lookups = 0, found = 0;
    for (int f = 0; f < files; ++f) {
        std::string file = random.chance(30) ? "[OTHER]\r\nK0=not this\r\n" : "";
        file += random.chance(90) ? "[STR_SCANNOW]\r\n" : "[STR_SCANNOW\r\n";
        std::vector<std::wstring> expected(entries);
        for (int e = 0; e < entries; ++e) {
            const std::wstring value = safeText(random, random.chance(5) ? 3000 : 30);
            std::string line = "K" + std::to_string(e) + "=" + std::string(value.begin(), value.end());
            if (random.chance(25)) {
                // A mutated line stays one line and names no other entry's key;
                // only its own lookup's safety counts.
                line = "M" + fuzz::mutate(random, line, 1 + static_cast<int>(random.below(6)));
                std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
                expected[e] = L"?";
            } else {
                expected[e] = value;
            }
            file += line + (random.chance(95) ? "\r\n" : "\n");
        }
        if (file.find("[STR_SCANNOW]\r\n") == std::string::npos)
            std::fill(expected.begin(), expected.end(), L"?");
        ASSERT_TRUE(testsupport::writeFile(path, file.data(), file.size()));
        for (int e = 0; e < entries; ++e) {
            const std::wstring key = L"K" + std::to_wstring(e);
            const std::size_t capacity = random.chance(20) ? 1 + random.below(16) : 4096;
            std::vector<wchar_t> result(capacity + 16, L'#');
            const int answer = strings_detail::ReadStringFile(path.c_str(), key.c_str(), result.data(), capacity);
            ++lookups;
            for (std::size_t i = capacity; i < result.size(); ++i)
                ASSERT_EQ(L'#', result[i]) << "seed " << seed + 6 << " file " << f << " entry " << e;
            ASSERT_NE(result.begin() + capacity, std::find(result.begin(), result.begin() + capacity, L'\0'));
            if (expected[e] != L"?") {
                const std::wstring cut = expected[e].substr(0, capacity - 1);
                ASSERT_EQ(cut, std::wstring(result.data())) << "seed " << seed + 6 << " file " << f << " entry " << e;
            }
            found += answer;
        }
    }
    std::printf("GenStrings.bin: %d lookups in %d files of %d entries, %d found\n", lookups, files, entries, found);
    EXPECT_GT(found, lookups / 2);
}

// A language list the reader must take apart: entries in order, the first
// whose langID matches (ignoring case) gives its bit position.
struct ListEntry {
    std::wstring language, position;
};

std::wstring listText(const std::vector<ListEntry>& entries)
{
    std::wstring text = L"<Languages>";
    for (const ListEntry& entry : entries)
        text += L"<Language langID=\"" + entry.language + L"\" BitmaskBitPosition=\"" +
                entry.position + L"\"/>";
    return text + L"</Languages>";
}

bool bitSet(const std::wstring& mask, long position)
{
    const std::wstring text = mask.size() % 2 ? L"0" + mask : mask;
    const std::size_t bytes = text.size() / 2;
    if (position < 0 || static_cast<unsigned long>(position) >= 8ul * bytes)
        return false;
    const std::size_t index = bytes - 1 - static_cast<std::size_t>(position) / 8;
    const unsigned value =
        static_cast<unsigned>(std::wcstoul(text.substr(2 * index, 2).c_str(), nullptr, 16));
    return (value >> (position % 8)) & 1u;
}

TEST_F(ProductFilesFuzz, LanguageListsDecideByTheirBitOrFallBackToTheFolder)
{
    fuzz::Random random(seed + 1);
    const std::wstring path = install + L"\\Agent\\Languages.xml";
    CMUIHelper helper;
    static const std::vector<std::wstring> languages = {L"0409", L"0407", L"040C", L"040c",
                                                        L"0411", L"abcd"};
    int supported = 0;
    for (int n = 0; n < 900; ++n) {
        std::vector<ListEntry> entries;
        for (std::size_t i = random.below(6); i > 0; --i)
            entries.push_back({random.pick(languages), std::to_wstring(random.below(40))});
        std::wstring mask;
        for (std::size_t i = 1 + random.below(10); i > 0; --i)
            mask += L"0123456789abcdefABCDEF"[random.below(22)];
        const LANGID language = random.chance(50) ? 0x0409 : 0x040c;
        const bool generated = n % 3 != 2;
        std::wstring text = listText(entries);
        if (!generated)
            text = fuzz::mutate(random, text, 1 + static_cast<int>(random.below(12)));
        const std::string bytes(text.begin(), text.end());
        ASSERT_TRUE(testsupport::writeFile(path, bytes.data(), bytes.size()));

        const BOOL answer = helper.IsPartnerSupportedLanguage(language, L"", mask);
        ASSERT_TRUE(answer == TRUE || answer == FALSE);
        if (generated) {
            // The folder 0409 exists, 040c does not.
            bool expected = language == 0x0409;
            const std::wstring hex = language == 0x0409 ? L"0409" : L"040c";
            for (const ListEntry& entry : entries) {
                if (_wcsicmp(entry.language.c_str(), hex.c_str()) == 0) {
                    expected = bitSet(mask, std::wcstol(entry.position.c_str(), nullptr, 10));
                    break;
                }
            }
            ASSERT_EQ(expected, answer == TRUE)
                << "seed " << seed + 1 << " case " << n << " mask "
                << std::string(mask.begin(), mask.end()) << " "
                << std::string(text.begin(), text.end());
        }
        supported += answer;
    }
    EXPECT_GT(supported, 100);
    EXPECT_LT(supported, 800);
}

// The same search in depth: one document object, each list loaded from text,
// so that a case costs the parse alone. Lists of every shape: other nodes
// before and between the entries, entries without attributes, attributes
// that are not text, nested and deep elements, mutated and random text.
TEST_F(ProductFilesFuzz, LanguageListsInOneDocumentFindTheFirstMatchingEntry)
{
    static const CLSID domDocumentClass = {0x2933BF90, 0x7B36, 0x11D2,
                                           {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
    static const IID domDocumentInterface = {0x2933BF81, 0x7B36, 0x11D2,
                                             {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
        orn::com_ptr<IXMLDOMDocument> document;
        ASSERT_EQ(S_OK, CoCreateInstance(domDocumentClass, nullptr, CLSCTX_ALL, domDocumentInterface,
                                         document.put_void()));
        document->put_async(VARIANT_FALSE);
        fuzz::Random random(seed + 5);
        static const std::vector<std::wstring> languages = {L"0409", L"0407", L"040C", L"040c", L"0411",
                                                            L"", L"04090", L" 0409"};
        static const std::vector<std::wstring> extras = {
            L"<!-- c -->", L"<?pi x?>", L"text", L"<![CDATA[0409]]>", L"<Other langID=\"0409\"/>",
            L"<Language/>", L"<Language langID=\"0409\"><Inner BitmaskBitPosition=\"1\"/></Language>",
            L"&amp;", L"<a><b><c><d><e/></d></c></b></a>"};
        const int cases = 100000;
        int parsed = 0, found = 0;
        for (int n = 0; n < cases; ++n) {
            std::vector<ListEntry> entries;
            std::wstring body;
            int expected = -1;
            bool decided = false;
            for (std::size_t i = random.below(8); i > 0; --i) {
                if (random.chance(10)) {
                    // Anything but an element with langID ends the search.
                    body += random.pick(extras);
                    decided = true;
                    continue;
                }
                const ListEntry entry = {random.pick(languages), std::to_wstring(random.below(64))};
                body += L"<Language langID=\"" + entry.language + L"\" BitmaskBitPosition=\"" +
                        entry.position + L"\"/>";
                if (!decided && _wcsicmp(entry.language.c_str(), L"0409") == 0) {
                    expected = std::stoi(entry.position);
                    decided = true;
                }
            }
            std::wstring text = L"<Languages>" + body + L"</Languages>";
            const int shape = n % 4;
            if (shape == 1)
                text = fuzz::mutate(random, text, 1 + static_cast<int>(random.below(12)));
            else if (shape == 2)
                text = random.chance(50) ? std::wstring(L"<L>") + std::wstring(200 + random.below(3000), L'x') + L"</L>"
                                         : std::wstring(L"<a>") + std::wstring(random.below(300), L'(');
            else if (shape == 3) {
                text.clear();
                for (std::size_t i = random.below(200); i > 0; --i)
                    text += random.anyCharacter();
            }
            // Lone surrogates only make the parser's converter complain on
            // the console for each list.
            for (wchar_t& c : text) {
                if (c >= 0xd800 && c <= 0xdfff)
                    c = L'?';
            }
            orn::unique_bstr source(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
            VARIANT_BOOL loaded = VARIANT_FALSE;
            if (FAILED(document->loadXML(source.get(), &loaded)) || loaded != VARIANT_TRUE)
                continue;
            ++parsed;
            const int position = orn::language::FindLanguageBitPosition(document.get(), L"0409");
            ASSERT_GE(position, -1);
            if (shape == 0) {
                ASSERT_EQ(expected, position) << "seed " << seed + 5 << " case " << n << " "
                                              << std::string(text.begin(), text.end());
            }
            found += position >= 0;
        }
        std::printf("Languages.xml: %d lists, %d well formed, %d with a position\n", cases, parsed, found);
        EXPECT_GT(parsed, cases / 4);
        EXPECT_GT(found, cases / 20);
    }
    CoUninitialize();
}

TEST_F(ProductFilesFuzz, LanguageValuesCountOnlyWhenTheRuleReadsThem)
{
    fuzz::Random random(seed + 2);
    CMUIHelper helper;
    const std::vector<std::wstring> languages = {L"1033", L"1031", L"0", L"-1", L"0x0409",
                                                 L" 1036abc", L"99999999999", L"65536"};
    for (int n = 0; n < 2400; ++n) {
        switch (n % 3) {
        case 0: {
            // The user's stored choice: at most 31 characters.
            const HostileValue value = hostileValue(random, languages, 31);
            setHostile(HKEY_CURRENT_USER, desktopKey, L"LANGID", value);
            DWORD stored = 0xdeadbeef;
            const BOOL answer = helper.ReadPreferredLanguage(stored);
            const long parsed = std::wcstol(value.text.c_str(), nullptr, 10);
            if (value.unsure && answer) {
                ASSERT_LE(value.text.size(), 31u) << "case " << n;
            }
            if (!value.unsure) {
                ASSERT_EQ(value.readable && parsed != 0, answer == TRUE)
                    << "seed " << seed + 2 << " case " << n << ": " << describe(value);
            }
            if (answer) {
                ASSERT_EQ(static_cast<DWORD>(parsed), stored) << "case " << n;
                wchar_t folder[8];
                swprintf(folder, 8, L"%04x", static_cast<unsigned>(LOWORD(parsed)));
                ASSERT_EQ(std::wstring(folder), helper.GetUILanguageFolder()) << "case " << n;
            }
            break;
        }
        case 1: {
            // The partner default: at most 259 characters.
            const HostileValue value = hostileValue(random, languages, 259);
            setHostile(HKEY_LOCAL_MACHINE, agentKey, L"szPartnerDefaultLanguage", value);
            const LANGID parsed = LOWORD(std::wcstol(value.text.c_str(), nullptr, 10));
            const LANGID answer = helper.GetPartnerDefaultLanguage();
            if (value.unsure && answer == parsed)
                break;
            ASSERT_EQ(value.readable ? parsed : 0, answer)
                << "seed " << seed + 2 << " case " << n << ": " << describe(value);
            break;
        }
        default: {
            // The install folder: the language class reads at most 259
            // characters, so only the right folder, stored as the rule
            // wants it, makes 0409 count as installed.
            const HostileValue value = hostileValue(random, {install, install + L"\\"}, 259);
            setHostile(HKEY_LOCAL_MACHINE, productKey, L"szInstallDir", value);
            // Whether a value names that folder is the file system's to say: one
            // that differs from it only in case names it too.
            const bool named =
                GetFileAttributesW((value.text + L"\\Agent\\Res\\0409").c_str()) !=
                INVALID_FILE_ATTRIBUTES;
            const bool installed = helper.IsLanguageInstalled(0x0409) == TRUE;
            // An unsure value is taken as its characters, or as absent.
            if (!value.unsure || installed != named) {
                ASSERT_EQ(value.readable && named, installed)
                    << "seed " << seed + 2 << " case " << n << ": " << describe(value);
            }
            // The menu strings read it by their own rule; they must only
            // answer, never read or write out of bounds.
            wchar_t text[64];
            const int answer = CGenStrings().GetString(L"IDS_SCAN", text, 64);
            ASSERT_TRUE(answer == 0 || answer == 1);
            break;
        }
        }
    }
    setString(HKEY_LOCAL_MACHINE, productKey, L"szInstallDir", install);
    setString(HKEY_CURRENT_USER, desktopKey, L"LANGID", L"1033");
}

// The log manager's properties after hostile values under the Log key: the
// activity and the date stamp count only when the rule reads them (at most
// 63 characters), the debug switch only as a four-byte number.
TEST_F(ProductFilesFuzz, LogPropertiesCountOnlyWhatTheRuleReads)
{
    fuzz::Random random(seed + 3);
    auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
    wchar_t today[32];
    const std::time_t now = std::time(nullptr);
    std::wcsftime(today, 32, L"%Y%m%d000000", std::localtime(&now));
    const std::vector<std::wstring> activities = {L"zuAgent", L"zuInstall", L"proofFuzz",
                                                  L"20261207000000", L""};
    for (int n = 0; n < 1500; ++n) {
        HostileValue activity = hostileValue(random, activities, 63);
        HostileValue stamp = hostileValue(random, activities, 63);
        // A visible text keeps the activity log name harmless if it is used.
        if ((activity.readable || activity.unsure) &&
            (activity.text.size() > 40 ||
             activity.text.find_first_not_of(
                 L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") !=
                 std::wstring::npos)) {
            activity.type = REG_BINARY;
            activity.readable = activity.unsure = false;
        }
        const DWORD debugTypes[] = {REG_DWORD, REG_BINARY, REG_SZ, REG_QWORD};
        const DWORD debugType = debugTypes[random.below(4)];
        const unsigned long long debugValue = random.below(3);
        const std::size_t debugSize = debugType == REG_QWORD ? 8 : random.chance(80) ? 4 : random.below(4);
        setHostile(HKEY_LOCAL_MACHINE, logRegistryKey, L"szCurrentActivityType", activity);
        setHostile(HKEY_LOCAL_MACHINE, logRegistryKey, L"szLastVersion", stamp);
        setValue(HKEY_LOCAL_MACHINE, logRegistryKey, L"bDebugEnable", debugType, &debugValue,
                 debugSize);

        // A value of no bytes has no terminator: the manager does not read it.
        activity.readable = activity.readable && !activity.bytes.empty();
        stamp.readable = stamp.readable && !stamp.bytes.empty();
        const std::wstring expectedActivity =
            activity.readable ? activity.text : std::wstring(L"zuAgent");
        const std::wstring expectedStamp =
            stamp.readable && !stamp.text.empty() ? stamp.text : std::wstring(today);
        // An unterminated text the platform completes reads as its characters.
        const std::wstring completedActivity = activity.unsure && activity.text.size() <= 63
                                                   ? activity.text
                                                   : expectedActivity;
        const std::wstring completedStamp = stamp.unsure && stamp.text.size() <= 63 &&
                                                    !stamp.text.empty()
                                                ? stamp.text
                                                : expectedStamp;
        const bool debug = debugType == REG_DWORD && debugSize == 4 && debugValue != 0;
        bool seen = false;
        for (int attempt = 0; attempt < 200 && !seen; ++attempt) {
            // Level 7 of a component no section names: refreshes, writes nothing.
            LogRecord(".\\Fuzz", n, LevelDebug, "NoSuchComponent", manager).print("refresh");
            const auto properties = manager->snapshot();
            ASSERT_TRUE(properties);
            const std::wstring& gotActivity = properties->at(L"activity");
            const std::wstring& gotStamp = properties->at(L"dt");
            seen = (gotActivity == expectedActivity || gotActivity == completedActivity) &&
                   (gotStamp == expectedStamp || gotStamp == completedStamp) &&
                   properties->at(L"debugEnable") == (debug ? L"1" : L"0");
            if (!seen)
                Sleep(1);
        }
        const auto properties = manager->snapshot();
        ASSERT_TRUE(seen) << "seed " << seed + 3 << " case " << n << ": activity "
                          << describe(activity) << " stamp " << describe(stamp) << " debug type "
                          << debugType << " size " << debugSize << " value " << debugValue
                          << "; got activity " << narrow(properties->at(L"activity")) << ", dt "
                          << narrow(properties->at(L"dt")) << ", debugEnable "
                          << narrow(properties->at(L"debugEnable"));
    }
}

}  // namespace
