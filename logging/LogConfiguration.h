#pragma once
// Lookup and enumeration interfaces shared by every configuration source and
// by the manager's run-time properties, and the in-memory configuration.

#include <map>
#include <string>
#include <type_traits>

// Key to value, or null when there is none. Not const: an INI section loads
// its text on first use.
template <typename K, typename V>
class Lookupable {
public:
    virtual V getProperty(K key) = 0;
    virtual ~Lookupable() = default;
};

using LookupableW = Lookupable<const wchar_t*, const wchar_t*>;

namespace enumeration_detail {
// Texts and other pointers travel by value, objects behind interfaces by
// reference.
template <typename T>
using Arg = std::conditional_t<std::is_pointer<T>::value || std::is_arithmetic<T>::value, T, T&>;
}  // namespace enumeration_detail

template <typename T>
class IEnumerable {
public:
    using Arg = enumeration_detail::Arg<T>;

    class ActionType {
    public:
        // True stops the enumeration.
        virtual bool operator()(Arg element) = 0;
        virtual ~ActionType() = default;
    };

    // Calls the action on each element in order until it answers true;
    // answers whether it did.
    virtual bool firstThat(ActionType& action) = 0;
    virtual ~IEnumerable() = default;
};

template <typename K, typename V>
class IPairEnumerable {
public:
    using KeyArg = enumeration_detail::Arg<K>;
    using ValueArg = enumeration_detail::Arg<V>;

    class ActionType {
    public:
        // True stops the enumeration.
        virtual bool operator()(KeyArg key, ValueArg value) = 0;
        virtual ~ActionType() = default;
    };

    virtual bool firstThat(ActionType& action) = 0;
    virtual ~IPairEnumerable() = default;
};

template <typename T>
class Clonable {
public:
    // A new heap object; the caller owns it.
    virtual T* clone() const = 0;
    virtual ~Clonable() = default;
};

// A configuration: its sections in the order they apply to a record.
using LogConfigurationW = IEnumerable<LookupableW>;

namespace LogUtils {

// Keys ordered by plain, case-sensitive comparison.
using PropertyMap = std::map<std::wstring, std::wstring>;

// A view over one map; the map must outlive the view. Keys are found ignoring
// case, first in the map's order.
class LogPropertiesOnMapImpl : public LookupableW {
public:
    explicit LogPropertiesOnMapImpl(const PropertyMap* map) : map_(map) {}
    const wchar_t* getProperty(const wchar_t* key) override;

private:
    const PropertyMap* map_;
};

// Sections held in memory, enumerated in ascending index order. Filled once
// and only read afterwards, so any number of threads may enumerate it.
class PropertyLogConfiguration : public IEnumerable<LookupableW> {
public:
    // Creates the section and the key as needed; overwrites the value.
    void setProperty(int index, const wchar_t* key, const wchar_t* value);
    bool firstThat(ActionType& action) override;

    std::map<int, PropertyMap> sections;
};

// One section as its processing sees it.
class LogConfigurationSection {
public:
    explicit LogConfigurationSection(LookupableW* section) : section_(section) {}

    const wchar_t* getProperty(const wchar_t* key);
    // "enabled" absent, or anything but "0" and "false" (ignoring case).
    bool isEnabled();

private:
    LookupableW* section_;
};

}  // namespace LogUtils
