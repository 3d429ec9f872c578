#include "DefaultLogConfiguration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using LogUtils::LogConfigurationSection;
using LogUtils::LogPropertiesOnMapImpl;
using LogUtils::PropertyLogConfiguration;
using LogUtils::PropertyMap;

namespace {

// Collects one key of every section, stopping after a given count.
class KeyCollector : public IEnumerable<LookupableW>::ActionType {
public:
    KeyCollector(const wchar_t* key, std::size_t stopAfter = 1000) : key_(key), stopAfter_(stopAfter) {}
    bool operator()(LookupableW& section) override
    {
        const wchar_t* value = section.getProperty(key_);
        values.push_back(value ? value : L"<null>");
        return values.size() >= stopAfter_;
    }
    std::vector<std::wstring> values;

private:
    const wchar_t* key_;
    std::size_t stopAfter_;
};

}  // namespace

TEST(LogPropertiesOnMapTest, OnlyWholeKeysMatchAndTheFirstInMapOrderWins)
{
    PropertyMap map = {{L"filter", L"f"},      {L"filtername", L"fn"}, {L"format", L"fo"},
                       {L"Type", L"upper"},    {L"type", L"lower"},    {L"", L"empty"},
                       {std::wstring(L"dt\0x", 4), L"embedded"}};
    LogPropertiesOnMapImpl view(&map);
    EXPECT_STREQ(L"f", view.getProperty(L"FILTER"));
    EXPECT_STREQ(L"fn", view.getProperty(L"FilterName"));
    EXPECT_STREQ(L"fo", view.getProperty(L"format"));
    EXPECT_EQ(nullptr, view.getProperty(L"filt"));
    EXPECT_EQ(nullptr, view.getProperty(L"filtername2"));
    // "Type" sorts before "type": the map's order decides between them.
    EXPECT_STREQ(L"upper", view.getProperty(L"tYPE"));
    EXPECT_STREQ(L"empty", view.getProperty(L""));
    // A stored key is compared as a C string, up to its first null.
    EXPECT_STREQ(L"embedded", view.getProperty(L"DT"));
    EXPECT_EQ(nullptr, view.getProperty(L"d"));
    EXPECT_EQ(nullptr, view.getProperty(nullptr));
}

TEST(PropertyLogConfigurationTest, SectionsInIndexOrderUntilTheActionStops)
{
    PropertyLogConfiguration configuration;
    configuration.setProperty(7, L"name", L"seven");
    configuration.setProperty(-1, L"name", L"minus one");
    configuration.setProperty(2, L"name", L"first");
    configuration.setProperty(2, L"name", L"two");
    KeyCollector all(L"NAME");
    EXPECT_FALSE(configuration.firstThat(all));
    EXPECT_EQ(std::vector<std::wstring>({L"minus one", L"two", L"seven"}), all.values);
    KeyCollector two(L"name", 2);
    EXPECT_TRUE(configuration.firstThat(two));
    EXPECT_EQ(2u, two.values.size());
}

TEST(LogConfigurationSectionTest, OnlyZeroAndFalseDisable)
{
    PropertyMap map;
    LogPropertiesOnMapImpl view(&map);
    LogConfigurationSection section(&view);
    EXPECT_TRUE(section.isEnabled());
    for (const wchar_t* value : {L"0", L"false", L"FALSE", L"False"}) {
        map[L"Enabled"] = value;
        EXPECT_FALSE(section.isEnabled()) << value;
    }
    for (const wchar_t* value : {L"no", L"", L"1", L"00", L" false"}) {
        map[L"Enabled"] = value;
        EXPECT_TRUE(section.isEnabled()) << value;
    }
    EXPECT_STREQ(L" false", section.getProperty(L"enabled"));
}
