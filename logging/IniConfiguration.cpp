#include "IniConfiguration.h"

#include <windows.h>

#include <new>

namespace {

// What the platform stores is bounded by the count it answers and by the
// buffer; the list is terminated here so that a cut text never sends a walk
// past the buffer.
int storedLength(DWORD answered, int capacity)
{
    const DWORD last = static_cast<DWORD>(capacity - 1);
    return static_cast<int>(answered < last ? answered : last);
}

DWORD profileSectionNames(wchar_t* buffer, int capacity, const wchar_t* path)
{
    return GetPrivateProfileSectionNamesW(buffer, static_cast<DWORD>(capacity), path);
}

DWORD profileSection(const wchar_t* name, wchar_t* buffer, int capacity, const wchar_t* path)
{
    return GetPrivateProfileSectionW(name, buffer, static_cast<DWORD>(capacity), path);
}

int compareIgnoringCase(const wchar_t* left, const wchar_t* right)
{
    return lstrcmpiW(left, right);
}

}  // namespace

template <typename Char>
bool IniFileConfigurationT<Char>::Keys::firstThat(ActionType& action)
{
    if (!path_)
        return false;
    Char names[namesCapacity];
    const DWORD answered = profileSectionNames(names, namesCapacity, path_);
    if (answered == 0)
        return false;
    const int length = storedLength(answered, namesCapacity);
    names[length] = Char();
    for (int position = 0; position < length && names[position] != Char();) {
        const Char* name = names + position;
        while (position < length && names[position] != Char())
            ++position;
        ++position;
        if (action(name))
            return true;
    }
    return false;
}

template <typename Char>
bool IniFileConfigurationT<Char>::firstThat(ActionType& action)
{
    // Hands each listed name on with a section for it built on this stack.
    class SectionEnum : public Keys::ActionType {
    public:
        SectionEnum(const Char* path, ActionType& action) : path_(path), action_(action) {}
        bool operator()(const Char* name) override
        {
            Section section(path_, name);
            return action_(name, section);
        }

    private:
        const Char* path_;
        ActionType& action_;
    };
    SectionEnum sectionEnum(path_, action);
    return Keys(path_).firstThat(sectionEnum);
}

template <typename Char>
bool IniFileConfigurationT<Char>::Values::firstThat(ActionType& action)
{
    class SectionEnum : public Keys::ActionType {
    public:
        SectionEnum(const Char* path, ActionType& action) : path_(path), action_(action) {}
        bool operator()(const Char* name) override
        {
            Section section(path_, name);
            return action_(section);
        }

    private:
        const Char* path_;
        ActionType& action_;
    };
    if (!owner_)
        return false;
    SectionEnum sectionEnum(owner_->path(), action);
    return Keys(owner_->path()).firstThat(sectionEnum);
}

template <typename Char, int InlineSize>
IniSectionT<Char, InlineSize>::IniSectionT(const Char* path, const Char* name)
    : text_(inline_), path_(path), name_(name), size_(InlineSize), length_(0), loaded_(false)
{
    inline_[0] = Char();
}

// Reads the section, doubling the buffer while the platform signals a cut
// text by answering the capacity minus 2, then rewrites the lines in place as
// key, terminator, value, terminator. Lines without "=" carry no entry and are
// dropped, so the pairs can be walked again and again.
template <typename Char, int InlineSize>
void IniSectionT<Char, InlineSize>::load()
{
    loaded_ = true;
    length_ = 0;
    if (!path_ || !name_)
        return;
    DWORD answered = 0;
    for (;;) {
        answered = profileSection(name_, text_, size_, path_);
        if (answered + 2 != static_cast<DWORD>(size_) || size_ >= maximumSize)
            break;
        const int next = size_ * 2 < maximumSize ? size_ * 2 : maximumSize;
        heap_.reset(new Char[next]);
        text_ = heap_.get();
        size_ = next;
    }
    const int stored = storedLength(answered, size_);
    text_[stored] = Char();

    int out = 0;
    for (int position = 0; position < stored && text_[position] != Char();) {
        const int line = position;
        int separator = -1;
        while (position < stored && text_[position] != Char()) {
            if (separator < 0 && text_[position] == L'=')
                separator = position;
            ++position;
        }
        const int lineEnd = position;  // the line's terminator
        ++position;
        if (separator < 0)
            continue;
        text_[separator] = Char();
        for (int i = line; i <= lineEnd; ++i)
            text_[out++] = text_[i];
    }
    length_ = out;
}

template <typename Char, int InlineSize>
bool IniSectionT<Char, InlineSize>::firstThat(ActionType& action)
{
    if (!loaded_)
        load();
    for (int position = 0; position < length_;) {
        const Char* key = text_ + position;
        position += static_cast<int>(std::char_traits<Char>::length(key)) + 1;
        const Char* value = text_ + position;
        position += static_cast<int>(std::char_traits<Char>::length(value)) + 1;
        if (action(key, value))
            return true;
    }
    return false;
}

template <typename Char, int InlineSize>
const Char* IniSectionT<Char, InlineSize>::getProperty(const Char* key)
{
    class finder : public ActionType {
    public:
        explicit finder(const Char* wanted) : wanted_(wanted) {}
        bool operator()(const Char* key, const Char* value) override
        {
            if (compareIgnoringCase(key, wanted_) != 0)
                return false;
            found = value;
            return true;
        }
        const Char* found = nullptr;

    private:
        const Char* wanted_;
    };
    if (!key)
        return nullptr;
    finder find(key);
    firstThat(find);
    return find.found;
}

template class IniFileConfigurationT<wchar_t>;
template class IniSectionT<wchar_t, 1024>;

IniFileContents::IniFileContents(const wchar_t* path)
{
    class Copy : public IniFileConfiguration::Keys::ActionType {
    public:
        Copy(const wchar_t* path, std::vector<Section>& sections) : path_(path), sections_(sections)
        {
        }
        bool operator()(const wchar_t* name) override
        {
            class Entries : public IniSection::ActionType {
            public:
                explicit Entries(Section& section) : section_(section) {}
                bool operator()(const wchar_t* key, const wchar_t* value) override
                {
                    section_.entries.emplace_back(key, value);
                    return false;
                }

            private:
                Section& section_;
            };
            sections_.emplace_back();
            IniSection section(path_, name);
            Entries entries(sections_.back());
            section.firstThat(entries);
            return false;
        }

    private:
        const wchar_t* path_;
        std::vector<Section>& sections_;
    };
    Copy copy(path, sections_);
    IniFileConfiguration::Keys(path).firstThat(copy);
}

bool IniFileContents::firstThat(ActionType& action)
{
    for (Section& section : sections_) {
        if (action(section))
            return true;
    }
    return false;
}

const wchar_t* IniFileContents::Section::getProperty(const wchar_t* key)
{
    if (!key)
        return nullptr;
    for (const auto& entry : entries) {
        if (compareIgnoringCase(entry.first.c_str(), key) == 0)
            return entry.second.c_str();
    }
    return nullptr;
}
