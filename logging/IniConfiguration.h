#pragma once
// The logging configuration file, read only through the platform's profile
// functions, and a reading of it held in memory. Only the wide
// instantiations exist (IniConfiguration.cpp).

#include "LogConfiguration.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

template <typename Char, int InlineSize>
class IniSectionT;

// The sections of one file, by name, in file order.
template <typename Char>
class IniFileConfigurationT
    : public IPairEnumerable<const Char*, Lookupable<const Char*, const Char*>>,
      public std::char_traits<Char> {
public:
    using Section = IniSectionT<Char, 1024>;
    using PairBase = IPairEnumerable<const Char*, Lookupable<const Char*, const Char*>>;
    using typename PairBase::ActionType;

    // Room for all section names with their terminators; names beyond it are
    // not seen.
    static constexpr int namesCapacity = 512;

    // The path is not copied: it must outlive the object.
    explicit IniFileConfigurationT(const Char* path) : path_(path) {}

    // Calls the action with each section's name and the section.
    bool firstThat(ActionType& action) override;

    const Char* path() const { return path_; }

    // The section names in file order.
    class Keys : public IEnumerable<const Char*>, public Clonable<Keys> {
    public:
        using typename IEnumerable<const Char*>::ActionType;
        explicit Keys(const Char* path) : path_(path) {}
        bool firstThat(ActionType& action) override;
        Keys* clone() const override { return new Keys(path_); }

    private:
        const Char* path_;
    };

    // The file as a configuration: its sections alone, in file order.
    class Values : public IEnumerable<Lookupable<const Char*, const Char*>> {
    public:
        using typename IEnumerable<Lookupable<const Char*, const Char*>>::ActionType;
        explicit Values(IniFileConfigurationT* owner) : owner_(owner) {}
        bool firstThat(ActionType& action) override;

    private:
        IniFileConfigurationT* owner_;
    };

private:
    const Char* path_;
};

// One section's entries. Its text is read on first use into inline room for
// InlineSize characters (larger sections go to an owned heap buffer) and then
// kept for the object's life; the split of each line at its first "=" is
// written into that text.
template <typename Char, int InlineSize>
class IniSectionT : public IPairEnumerable<const Char*, const Char*>,
                    public Lookupable<const Char*, const Char*>,
                    public Clonable<IniSectionT<Char, InlineSize>>,
                    public std::char_traits<Char> {
public:
    using typename IPairEnumerable<const Char*, const Char*>::ActionType;

    // The largest text the platform reads in one call.
    static constexpr int maximumSize = 32767;

    // Neither text is copied: both must outlive the object.
    IniSectionT(const Char* path, const Char* name);
    IniSectionT(const IniSectionT&) = delete;
    IniSectionT& operator=(const IniSectionT&) = delete;

    // Each entry as key and value, in file order.
    bool firstThat(ActionType& action) override;
    // The value of the first entry whose key equals key ignoring case.
    const Char* getProperty(const Char* key) override;
    // A fresh object for the same file and section.
    IniSectionT* clone() const override { return new IniSectionT(path_, name_); }

    // Characters of the buffer the text was read into (for tests and
    // benchmarks): InlineSize when no heap buffer was needed.
    int bufferSize() const { return size_; }

private:
    void load();

    Char* text_;
    Char inline_[InlineSize];
    std::unique_ptr<Char[]> heap_;
    const Char* path_;
    const Char* name_;
    int size_;
    int length_;  // characters of the key/value pairs after load()
    bool loaded_;
};

using IniFileConfiguration = IniFileConfigurationT<wchar_t>;
using IniSection = IniSectionT<wchar_t, 1024>;

extern template class IniFileConfigurationT<wchar_t>;
extern template class IniSectionT<wchar_t, 1024>;

// The sections of one file as IniFileConfiguration::Values gives them at one
// moment (the names listed, then one read per section), kept in memory so that
// the file is read again only when it changes. Never changed after it is
// read, so any number of threads may enumerate it.
class IniFileContents : public IEnumerable<LookupableW> {
public:
    explicit IniFileContents(const wchar_t* path);

    bool firstThat(ActionType& action) override;
    std::size_t sectionCount() const { return sections_.size(); }

private:
    // Entries in file order; the first key equal ignoring case wins, as in
    // IniSection.
    class Section : public LookupableW {
    public:
        const wchar_t* getProperty(const wchar_t* key) override;
        std::vector<std::pair<std::wstring, std::wstring>> entries;
    };

    std::vector<Section> sections_;
};
