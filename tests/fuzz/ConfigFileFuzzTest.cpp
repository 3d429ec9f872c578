// Hostile "logCfg.Ini" files: generated files whose sections and keys are
// known must read back as written (first entry of a key wins, keys ignore
// case, names beyond the 512-character list are not seen); mutated and
// random files must be read and applied without a crash or a hang.
//
// Every file costs several profile reads under Wine (about a millisecond), so
// the counts are in the hundreds: 700 generated, 200 routed, 700 mutated, 200
// random.

#include "Files.h"
#include "FuzzSupport.h"

#include "IniConfiguration.h"
#include "LogManager.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr std::uint64_t defaultSeed = 0x1c0f1a5eedull;

struct Entry {
    std::wstring key, value;
};
struct Section {
    std::wstring name;
    std::vector<Entry> entries;
};

const std::vector<std::wstring>& lookupKeys()
{
    static const std::vector<std::wstring> keys = {L"type",   L"filter",  L"condition",
                                                   L"filename", L"maxsize", L"format",
                                                   L"enabled",  L"port",    L"server"};
    return keys;
}

std::wstring generatedValue(fuzz::Random& random, const std::wstring& key)
{
    static const std::vector<std::wstring> types = {L"file", L"FILE", L"outputdebugstring",
                                                    L"file2", L"syslogx", L""};
    static const std::vector<std::wstring> filters = {L"*.Info", L"*.Notice ~kwAgent.Info",
                                                      L"zu.Debug", L"~*.Debug", L"", L"x"};
    static const std::vector<std::wstring> conditions = {
        L"<activity>==\"zuInstall\"", L"not (<activity>==\"zuInstall\" or true)", L"true",
        L"false and", L"<dt>==<dt>", L"(((true)))"};
    static const std::vector<std::wstring> names = {L"fuzz.log", L"<activity>.log",
                                                    L"<activity>.<dt>.log", L"sub\\none.log"};
    static const std::vector<std::wstring> sizes = {L"2097152", L"+100000", L"-1", L"abc"};
    static const std::vector<std::wstring> formats = {L"%D %T %P:%+p %m", L"%l %f %s %m %%",
                                                      L"%", L"%q%U%i%w"};
    if (key == L"type")
        return random.pick(types);
    if (key == L"filter")
        return random.pick(filters);
    if (key == L"condition")
        return random.pick(conditions);
    if (key == L"filename")
        return random.pick(names);
    if (key == L"maxsize")
        return random.pick(sizes);
    if (key == L"format")
        return random.pick(formats);
    if (key == L"enabled")
        return random.chance(50) ? L"false" : L"1";
    // Now and then a value long enough to make sections of many kilobytes.
    if (random.chance(10))
        return std::wstring(500 + random.below(3000), L'v');
    std::wstring value;
    for (std::size_t i = random.below(20); i > 0; --i)
        value += static_cast<wchar_t>(L'a' + random.below(26));
    return value;
}

// Keys and values without the characters the profile reader treats
// specially at the start or end of a line.
std::vector<Section> generatedFile(fuzz::Random& random)
{
    std::vector<Section> sections;
    const std::size_t count = random.chance(10) ? 40 + random.below(40) : 1 + random.below(6);
    for (std::size_t s = 0; s < count; ++s) {
        Section section;
        section.name = L"S" + std::to_wstring(s) + L"_" +
                       std::wstring(random.below(random.chance(20) ? 30 : 6), L'n');
        const std::size_t entries = random.below(8);
        for (std::size_t e = 0; e < entries; ++e) {
            std::wstring key = random.chance(80) ? random.pick(lookupKeys())
                                                 : L"k" + std::to_wstring(random.below(5));
            if (random.chance(30))
                std::transform(key.begin(), key.end(), key.begin(), ::towupper);
            section.entries.push_back({key, generatedValue(random, key)});
        }
        sections.push_back(section);
    }
    return sections;
}

std::wstring fileText(const std::vector<Section>& sections)
{
    std::wstring text;
    for (const Section& section : sections) {
        text += L"[" + section.name + L"]\r\n";
        for (const Entry& entry : section.entries)
            text += entry.key + L"=" + entry.value + L"\r\n";
    }
    return text;
}

std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

bool writeText(const std::wstring& path, const std::wstring& text, bool unicode)
{
    if (!unicode) {
        const std::string bytes = narrow(text);
        return testsupport::writeFile(path, bytes.data(), bytes.size());
    }
    const std::wstring withMark = L"\xfeff" + text;
    return testsupport::writeFile(path, withMark.data(), withMark.size() * sizeof(wchar_t));
}

const wchar_t* expectedValue(const Section& section, const std::wstring& key)
{
    for (const Entry& entry : section.entries) {
        if (lstrcmpiW(entry.key.c_str(), key.c_str()) == 0)
            return entry.value.c_str();
    }
    return nullptr;
}

class ConfigFileFuzz : public ::testing::Test {
protected:
    void SetUp() override { folder = fuzz::outputFolder(L"ini"); }
    void TearDown() override
    {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return;
        do
            DeleteFileW((folder + L"\\" + data.cFileName).c_str());
        while (FindNextFileW(find, &data));
        FindClose(find);
    }

    std::wstring folder;
    const std::uint64_t seed = fuzz::seedFromEnvironment(defaultSeed);
};

TEST_F(ConfigFileFuzz, GeneratedFilesReadBackAsWritten)
{
    fuzz::Random random(seed);
    int cutLists = 0;
    for (int n = 0; n < 700; ++n) {
        const std::vector<Section> sections = generatedFile(random);
        // Each case its own file: the profile reader caches files by name.
        const std::wstring path = folder + L"\\generated" + std::to_wstring(n) + L".ini";
        ASSERT_TRUE(writeText(path, fileText(sections), random.chance(25)));
        IniFileConfiguration file(path.c_str());
        DeleteFileW(path.c_str());

        // The names that fit the 512-character list, each with its terminator.
        std::size_t fitting = 0, used = 0;
        while (fitting < sections.size() &&
               used + sections[fitting].name.size() + 1 <= IniFileConfiguration::namesCapacity - 1) {
            used += sections[fitting].name.size() + 1;
            ++fitting;
        }
        const auto& read = file.sections();
        ASSERT_GE(read.size(), fitting) << "seed " << seed << " case " << n;
        ASSERT_LE(read.size(), std::min(sections.size(), fitting + 1))
            << "seed " << seed << " case " << n;
        cutLists += read.size() < sections.size();
        for (std::size_t s = 0; s < read.size(); ++s) {
            if (s == fitting) {
                // The last name may arrive cut: a prefix of the real one.
                EXPECT_EQ(0u, sections[s].name.find(read[s].name)) << "case " << n;
                continue;
            }
            ASSERT_EQ(sections[s].name, read[s].name) << "seed " << seed << " case " << n;
            IniFileConfiguration::Section section = read[s];
            for (const std::wstring& key : lookupKeys()) {
                const wchar_t* expected = expectedValue(sections[s], key);
                const wchar_t* answer = section.getProperty(key.c_str());
                ASSERT_EQ(expected != nullptr, answer != nullptr)
                    << "seed " << seed << " case " << n << " section " << s << " key "
                    << narrow(key);
                if (expected) {
                    ASSERT_EQ(std::wstring(expected), answer)
                        << "seed " << seed << " case " << n << " section " << s;
                }
            }
        }
    }
    // The generator must reach the cut name list.
    EXPECT_GT(cutLists, 10);
}

TEST_F(ConfigFileFuzz, GeneratedMutatedAndRandomFilesRouteRecordsWithoutFailing)
{
    fuzz::Random random(seed + 1);
    LogUtils::PropertyMap map = {{L"activity", L"zuInstall"},
                                 {L"dt", L"20261207000000"},
                                 {L"logdir", folder},
                                 {L"debugEnable", L"1"}};
    LogUtils::LogPropertiesOnMapImpl view(&map);
    for (int n = 0; n < 1100; ++n) {
        const std::wstring path = folder + L"\\routed" + std::to_wstring(n) + L".ini";
        if (n < 200) {
            ASSERT_TRUE(writeText(path, fileText(generatedFile(random)), random.chance(25)));
        } else if (n < 900) {
            const std::wstring text = fileText(generatedFile(random));
            const int rounds = 1 + static_cast<int>(random.below(30));
            if (random.chance(25)) {
                const std::wstring mutated = fuzz::mutate(random, L"\xfeff" + text, rounds);
                testsupport::writeFile(path, mutated.data(), mutated.size() * sizeof(wchar_t));
            } else {
                const std::string mutated = fuzz::mutate(random, narrow(text), rounds);
                testsupport::writeFile(path, mutated.data(), mutated.size());
            }
        } else {
            // Random bytes, some with a byte-order mark, some huge.
            std::string bytes = random.chance(30) ? std::string("\xff\xfe") : std::string();
            const std::size_t length = random.chance(10) ? 40000 + random.below(40000)
                                                         : random.below(3000);
            for (std::size_t i = 0; i < length; ++i)
                bytes += static_cast<char>(random.chance(20) ? "[]=\r\n;"[random.below(6)]
                                                             : random.below(256));
            testsupport::writeFile(path, bytes.data(), bytes.size());
        }
        IniFileConfiguration file(path.c_str());
        DeleteFileW(path.c_str());
        std::size_t length = 0;
        for (const IniFileConfiguration::Section& section : file.sections()) {
            for (const auto& entry : section.entries)
                length += entry.first.size() + entry.second.size();
        }
        EXPECT_LE(length, file.sections().size() * IniFileConfiguration::sectionCapacity);
        const LogUtils::CompiledRouting routing(file, view);
        EXPECT_EQ(file.sections().size(), routing.sections().size());
        LogRecord record(".\\Fuzz", n, static_cast<int>(random.below(8)), "zuAgent", nullptr);
        record.narrowMessage = "routed through a generated file";
        routing.route(record);
    }
}

TEST_F(ConfigFileFuzz, MissingUnreadableAndOddPathsGiveNoSections)
{
    const std::vector<std::wstring> paths = {
        folder + L"\\absent.ini", folder, L"", folder + L"\\" + std::wstring(2000, L'x'),
        L"\\\\?\\" + folder + L"\\absent.ini", folder + L"\\con"};
    for (const std::wstring& path : paths)
        EXPECT_TRUE(IniFileConfiguration(path.c_str()).sections().empty())
            << narrow(path.substr(0, 80));
}

}  // namespace
