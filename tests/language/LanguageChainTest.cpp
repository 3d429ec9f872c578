// The decision chain that picks the user-interface language and its folder.
#include "LanguageTestSupport.h"
#include "MUIHelper.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

using namespace langtest;

namespace {

struct ChainTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(registry.ready()); }
    void Install() { setString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", install.path()); }
    void Store(const std::wstring& text) { setString(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", text); }
    void Partner(const std::wstring& text)
    {
        setString(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage", text);
    }
    std::wstring Folder() { return helper.GetUILanguageFolder(); }

    RegistrySandbox registry{L"language"};
    InstallFolder install;
    CMUIHelper helper;
};

// The UI language of this process. Wine derives it, and the system UI
// language with it, from the process's locale variables; the runs with
// another locale name the language they expect.
LANGID UserUILanguage()
{
    const LANGID language = GetUserDefaultUILanguage();
    if (const char* expected = std::getenv("ORN_EXPECT_UI_LANGUAGE")) {
        EXPECT_EQ(language, std::strtoul(expected, nullptr, 16)) << "locale of the test run";
    }
    return language;
}

std::wstring Hex(unsigned language)
{
    wchar_t text[16];
    swprintf(text, 16, L"%04x", language);
    return text;
}

// Variants the product ships a folder for, as the product's users know them.
const std::map<LANGID, LANGID> kShippedVariant = {
    {0x0807, 0x0407}, {0x0c0a, 0x040a}, {0x0403, 0x040a}, {0x0409, 0x0409}, {0x0407, 0x0407},
};

}  // namespace

// --- Stored choice ---

// Decimal text, taken whole and without a folder test; text that reads as
// 0 is no choice, and the chain goes on to the user's language.
TEST_F(ChainTest, StoredChoiceIsDecimalTextTakenWhole)
{
    const LANGID user = UserUILanguage();
    Install();
    install.AddLanguage(Hex(user));
    const struct {
        const wchar_t* stored;
        DWORD value;
    } rows[] = {
        {L"1036", 1036}, {L"1033abc", 1033}, {L"  +1036", 1036}, {L"66567", 0x10407},
        {L"-1", 0xFFFFFFFF}, {L"0x0407", 0}, {L"", 0},
    };
    for (const auto& row : rows) {
        Store(row.stored);
        DWORD value = 7;
        EXPECT_EQ(helper.ReadPreferredLanguage(value), row.value ? TRUE : FALSE) << row.stored;
        EXPECT_EQ(value, row.value) << row.stored;
        EXPECT_EQ(helper.ResolveUILanguage(), row.value ? row.value : ConvertDefaultLocale(user));
        EXPECT_EQ(Folder(), Hex(row.value ? LOWORD(row.value) : user)) << row.stored;
    }
}

TEST_F(ChainTest, HostileStoredValuesCountAsAbsent)
{
    const DWORD number = 1031;
    setValue(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", REG_DWORD, &number, sizeof(number));
    DWORD value = 0;
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);
    EXPECT_EQ(Folder(), L"0409");  // no install folder: English

    // The registry counts a forgotten terminator in when one follows the
    // data, so the character after the stored part must not be zero.
    const wchar_t digits[] = L"10319";
    setValue(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", REG_SZ, digits, 4 * sizeof(wchar_t));
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);

    setValue(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID", REG_SZ, digits, 4 * sizeof(wchar_t) + 1);
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);

    // The read limit is 31 characters before the terminator.
    Store(std::wstring(27, L' ') + L"1031");
    EXPECT_EQ(helper.ReadPreferredLanguage(value), TRUE);
    EXPECT_EQ(value, 1031u);
    Store(std::wstring(28, L' ') + L"1031");
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);
    Store(std::wstring(4000, L'9'));
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);
}

TEST_F(ChainTest, ChoiceUnderAnotherRoot)
{
    orn::unique_hkey other;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"OtherUser", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, other.put(), nullptr), ERROR_SUCCESS);
    setString(other.get(), kDesktopUIKey, L"LANGID", L"1036");
    DWORD value = 0;
    EXPECT_EQ(helper.ReadPreferredLanguageFromRoot(value, other.get()), TRUE);
    EXPECT_EQ(value, 1036u);
    EXPECT_EQ(helper.ReadPreferredLanguage(value), FALSE);  // not the current user's
}

// --- Installed folders ---

TEST_F(ChainTest, InstalledMeansSomethingExistsUnderRes)
{
    EXPECT_EQ(helper.IsLanguageInstalled(0x0410), FALSE);  // no install folder
    Install();
    EXPECT_EQ(helper.IsLanguageInstalled(0x0410), FALSE);
    install.AddFile(L"0410");  // a plain file counts too
    EXPECT_EQ(helper.IsLanguageInstalled(0x0410), TRUE);
    install.AddLanguage(L"040a");  // empty folder, no strings file
    EXPECT_EQ(helper.IsLanguageInstalled(0x040a), TRUE);
    // A trailing backslash doubles the separator, which still names the folder.
    setString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", install.path() + L"\\");
    EXPECT_EQ(helper.IsLanguageInstalled(0x040a), TRUE);
    // Nothing is remembered between calls.
    install.RemoveLanguage(L"040a");
    EXPECT_EQ(helper.IsLanguageInstalled(0x040a), FALSE);
}

TEST_F(ChainTest, InstallFolderOfWrongTypeOrLengthIsIgnored)
{
    install.AddLanguage(L"0407");
    const std::wstring path = install.path();
    setValue(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", REG_BINARY, path.c_str(),
           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(helper.IsLanguageInstalled(0x0407), FALSE);
    // REG_EXPAND_SZ is accepted, without expansion.
    setString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", path, REG_EXPAND_SZ);
    EXPECT_EQ(helper.IsLanguageInstalled(0x0407), TRUE);
    setString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", std::wstring(260, L'x'));
    EXPECT_EQ(helper.IsLanguageInstalled(0x0407), FALSE);
}

// --- The chain with the platform's UI language of this run ---

TEST_F(ChainTest, UserLanguageWithOwnFolderWins)
{
    const LANGID user = UserUILanguage();
    Install();
    install.AddLanguage(Hex(user));
    install.AddLanguage(L"0409");
    if (kShippedVariant.count(user))
        install.AddLanguage(Hex(kShippedVariant.at(user)));
    EXPECT_EQ(Folder(), Hex(user));
    EXPECT_EQ(helper.GetUILocaleHex(), L"0000" + Hex(user));
}

TEST_F(ChainTest, RegionalVariantFoldsIntoShippedVariant)
{
    const LANGID user = UserUILanguage();
    const auto shipped = kShippedVariant.find(user);
    if (shipped == kShippedVariant.end())
        GTEST_SKIP() << "no shipped variant known for " << std::hex << user;
    Install();
    install.AddLanguage(Hex(shipped->second));
    EXPECT_EQ(Folder(), Hex(shipped->second));
}

TEST_F(ChainTest, WithoutUsableFolderPartnerDefaultThenEnglish)
{
    if (PRIMARYLANGID(UserUILanguage()) == LANG_FRENCH)
        GTEST_SKIP() << "the partner's language is the run's own";
    Install();
    Partner(L"1036");
    EXPECT_EQ(Folder(), L"0409");  // the partner's French has no folder
    install.AddLanguage(L"040c");
    EXPECT_EQ(Folder(), L"040c");
    EXPECT_EQ(helper.GetPartnerDefaultLanguage(), 0x040c);
}

TEST_F(ChainTest, PartnerDefaultIsFoldedToo)
{
    if (PRIMARYLANGID(UserUILanguage()) == LANG_GERMAN)
        GTEST_SKIP() << "the partner's language is the run's own";
    Install();
    install.AddLanguage(L"0407");
    Partner(L"2055");  // 0x0807
    EXPECT_EQ(Folder(), L"0407");
}

TEST_F(ChainTest, MissingPartnerDefaultLooksForFolder0000)
{
    Install();
    EXPECT_EQ(helper.GetPartnerDefaultLanguage(), 0);
    install.AddLanguage(L"0000");
    // 0 is tested like any language; the platform turns it into the user's
    // default locale.
    EXPECT_EQ(helper.ResolveUILanguage(), ConvertDefaultLocale(0));
}

TEST_F(ChainTest, PartnerDefaultValueRules)
{
    Partner(L"66567");
    EXPECT_EQ(helper.GetPartnerDefaultLanguage(), 0x0407);  // low 16 bits
    Partner(L"abc");
    EXPECT_EQ(helper.GetPartnerDefaultLanguage(), 0);
    const DWORD number = 1036;
    setValue(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage", REG_DWORD, &number,
           sizeof(number));
    EXPECT_EQ(helper.GetPartnerDefaultLanguage(), 0);
}

// --- Replacing single steps through the virtual table ---

namespace {

// Records the steps the chain takes and can refuse the first folder test, so
// the system-language step can be reached: Wine gives the user and the
// system UI language the same value, so the platform alone cannot make the
// user's step fail while the system's succeeds.
class RecordingHelper : public CMUIHelper {
public:
    BOOL IsLanguageInstalled(LANGID language) override
    {
        tested.push_back(language);
        if (refuseFirst && tested.size() == 1)
            return FALSE;
        return CMUIHelper::IsLanguageInstalled(language);
    }
    BOOL ReadPreferredLanguage(DWORD& value) override
    {
        if (!storedChoice)
            return CMUIHelper::ReadPreferredLanguage(value);
        value = storedChoice;
        return TRUE;
    }
    LANGID GetPartnerDefaultLanguage() override { return partner; }

    std::vector<LANGID> tested;
    bool refuseFirst = false;
    DWORD storedChoice = 0;
    LANGID partner = 0x040c;
};

}  // namespace

TEST_F(ChainTest, SystemLanguageStepTakesTheLanguageAsIs)
{
    const LANGID user = UserUILanguage();
    Install();
    install.AddLanguage(Hex(user));
    RecordingHelper recording;
    recording.refuseFirst = true;
    EXPECT_EQ(recording.ResolveUILanguage(), static_cast<LCID>(GetSystemDefaultUILanguage()));
    ASSERT_GE(recording.tested.size(), 2u);
    EXPECT_EQ(recording.tested.back(), GetSystemDefaultUILanguage());
}

TEST_F(ChainTest, EveryStepGoesThroughTheVirtualTable)
{
    const LANGID user = UserUILanguage();
    RecordingHelper recording;
    recording.storedChoice = 0x0416;
    EXPECT_EQ(recording.GetUILanguageFolder(), L"0416");
    EXPECT_TRUE(recording.tested.empty());  // a stored choice is never tested

    recording.storedChoice = 0;
    EXPECT_EQ(recording.ResolveUILanguage(), 0x0409u);  // no install folder: nothing installed
    // Unmapped first, then mapped, for user, system and partner language.
    std::vector<LANGID> expected;
    for (LANGID language : {user, GetSystemDefaultUILanguage(), LANGID(0x040c)}) {
        expected.push_back(language);
        LANGID mapped = language;
        if (recording.MapToSupportedLanguage(mapped))
            expected.push_back(mapped);
    }
    EXPECT_EQ(recording.tested, expected);
    std::wstring hex;
    recording.storedChoice = 0x0c0a;
    EXPECT_EQ(recording.GetPreferredLanguageHex(hex), TRUE);
    EXPECT_EQ(hex, L"0c0a");
}

// --- The regional-variant table ---

TEST(RegionalVariants, FoldsIntoTheShippedVariant)
{
    CMUIHelper helper;
    const std::pair<LANGID, LANGID> samples[] = {
        {0x0807, 0x0407}, {0x1407, 0x0407}, {0x0c0a, 0x040a}, {0x500a, 0x040a}, {0x0403, 0x040a},
        {0x3409, 0x0409}, {0x0409, 0x0409}, {0x180c, 0x040c}, {0x0810, 0x0410}, {0x0813, 0x0413},
        {0x0814, 0x0414}, {0x081d, 0x041d}, {0x1404, 0x0404}, {0x1004, 0x0804}, {0x0804, 0x0804},
    };
    for (const auto& sample : samples) {
        LANGID language = sample.first;
        EXPECT_EQ(helper.MapToSupportedLanguage(language), TRUE) << std::hex << sample.first;
        EXPECT_EQ(language, sample.second) << std::hex << sample.first;
    }
    for (LANGID unmapped : {0x0411, 0x0416, 0x0412, 0x0000, 0x540a, 0x3809, 0x1804}) {
        LANGID language = unmapped;
        EXPECT_EQ(helper.MapToSupportedLanguage(language), FALSE) << std::hex << unmapped;
        EXPECT_EQ(language, unmapped);
    }
    int mapped = 0;
    for (unsigned language = 0; language <= 0xFFFF; ++language) {
        LANGID value = static_cast<LANGID>(language);
        mapped += helper.MapToSupportedLanguage(value);
    }
    EXPECT_EQ(mapped, 58);
}

// --- Binary layout ---

namespace {

// Slot of a virtual operation: a pointer to a virtual member holds one plus
// its byte offset in the virtual table.
template <typename F>
std::size_t SlotOf(F operation)
{
    struct {
        std::uintptr_t pointer;
        std::ptrdiff_t adjust;
    } raw;
    static_assert(sizeof(operation) == sizeof(raw), "pointer to member layout");
    std::memcpy(&raw, &operation, sizeof(raw));
    return (raw.pointer - 1) / sizeof(void*);
}

}  // namespace

TEST(MUIHelperLayout, OperationsKeepTheirSlots)
{
    using H = IMUIHelper;
    const std::size_t slots[] = {
        SlotOf(&H::GetSystemUILanguageAbbrev), SlotOf(&H::GetSystemUILanguage),
        SlotOf(&H::GetSystemUILanguageHex), SlotOf(&H::GetSystemUILocale),
        SlotOf(&H::GetSystemLocaleHex), SlotOf(&H::GetPreferredLanguageAbbrev),
        SlotOf(&H::GetPreferredLanguage), SlotOf(&H::GetPreferredLanguageHex),
        SlotOf(&H::ReadPreferredLanguageFromRoot), SlotOf(&H::ReadPreferredLanguage),
        SlotOf(&H::SetPreferredLanguage), SlotOf(&H::ClearPreferredLanguage),
        SlotOf(&H::GetPreferredLocaleHex), SlotOf(&H::GetUILanguageAbbrev),
        SlotOf(&H::GetUILanguage), SlotOf(&H::GetUILanguageFolder),
        SlotOf(&H::ResolveUILanguage), SlotOf(&H::GetUILocaleHex),
        SlotOf(&H::IsLanguageInstalled), SlotOf(&H::IsPartnerSupportedLanguage),
        SlotOf(&H::GetLanguageEnglishName), SlotOf(&H::GetPartnerDefaultLanguage),
        SlotOf(&H::SetPartnerSupportedLanguages), SlotOf(&H::EnumSystemUILanguages),
        SlotOf(&H::IsRightToLeftLanguageHex), SlotOf(&H::IsRightToLeftLanguage),
        SlotOf(&H::LanguageFromAbbrev), SlotOf(&H::GetLanguageAbbrev),
        SlotOf(&H::MapToSupportedLanguage), SlotOf(&H::EnumInstalledLanguages),
        SlotOf(&H::GetInstalledLanguages), SlotOf(&H::GetCountryParameter),
        SlotOf(&H::GetUserLanguage), SlotOf(&H::Destroy),
    };
    for (std::size_t i = 0; i < sizeof(slots) / sizeof(slots[0]); ++i)
        EXPECT_EQ(slots[i], i) << "operation " << i;
    EXPECT_EQ(sizeof(CMUIHelper), sizeof(void*));  // nothing but the table
}

TEST(MUIHelperLayout, DestroyDeletesThroughTheVirtualDestructor)
{
    static int destroyed = 0;
    struct Counted : CMUIHelper {
        ~Counted() override { ++destroyed; }
    };
    IMUIHelper* helper = new Counted();
    helper->Destroy();
    EXPECT_EQ(destroyed, 1);
}
