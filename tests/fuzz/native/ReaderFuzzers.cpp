// Fuzz targets for the configuration-file reader and the registry-script
// processor, built natively under AddressSanitizer (libfuzzer.sh, Driver.cpp).
//
// Both read an input's bytes as text one character a byte: 0x01 stands for
// an embedded terminator, 0x02 n repeats the character before it 32 * n times
// (so that short inputs reach long lines and tokens, up to 40000 characters
// in all), bytes from 0x80 become characters beyond ASCII.

#include "IniConfiguration.h"
#include "Platform.h"
#include "RegistryScript.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::wstring textOf(const std::uint8_t* data, std::size_t size)
{
    std::wstring text;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = data[i];
        if (b == 0x01) {
            text += L'\0';
        } else if (b == 0x02 && i + 1 < size && !text.empty()) {
            const std::size_t count = 32u * data[++i];
            if (text.size() + count <= 40000)
                text.append(count, text.back());
        } else if (b >= 0x80) {
            text += static_cast<wchar_t>(b < 0xc0 ? b : 0x100 + (b << 4));
        } else {
            text += static_cast<wchar_t>(b);
        }
    }
    return text;
}

const wchar_t* const lookupKeys[] = {L"type", L"condition", L"filename", L"FORMAT"};

}  // namespace

// The first byte chooses an honest or a lying platform (and the count the
// liar answers); the rest is the file: "[name]" lines open sections, every
// other line is an entry of the section before it.
int fuzzIni(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    native::ProfileImage& image = native::profileImage();
    image = native::ProfileImage();
    image.lying = (data[0] & 0x0f) == 0x0f;
    image.liedCount = static_cast<unsigned>(data[0] >> 4) * 4100u;
    const std::wstring text = textOf(data + 1, size - 1);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = text.substr(start, end - start);
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']')
            image.sections.emplace_back(line.substr(1, line.size() - 2), std::wstring());
        else if (!image.sections.empty())
            image.sections.back().second += line + L'\0';
        start = end + 1;
    }
    for (auto& section : image.sections) {
        section.second += L'\0';
        image.names += section.first + L'\0';
    }
    image.names += L'\0';

    // The image is given back before the input ends, so that the fuzzer sees
    // every allocation of a run freed and looks for leaks only when one was not.
    struct Release {
        ~Release() { native::profileImage() = native::ProfileImage(); }
    } release;
    // The sanitizer watches the walks over the texts the stand-ins answered.
    IniFileConfiguration file(L"C:\\fuzz\\logCfg.Ini");
    for (IniFileConfiguration::Section section : file.sections()) {
        std::size_t length = section.name.size();
        for (const auto& entry : section.entries)
            length += entry.first.size() + entry.second.size();
        if (length > static_cast<std::size_t>(IniFileConfiguration::sectionCapacity) +
                         IniFileConfiguration::namesCapacity)
            std::abort();
        for (const wchar_t* key : lookupKeys)
            section.getProperty(key);
    }
    return 0;
}

// The first byte chooses registration or unregistration; the rest is the
// script, with the two replacements the module gives.
int fuzzRegScript(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::wstring script = textOf(data + 1, size - 1);
    // The processor takes a terminated text: an embedded terminator ends it.
    CRegObject object;
    object.AddReplacement(L"MODULE", L"C:\\Program Files\\Quarvel\\OrnShExt.dll");
    object.AddReplacement(L"APPID", L"{2B8E4F17-6D05-4C93-A1E2-7F3B90D4C658}");
    const HRESULT hr = data[0] & 1 ? object.StringRegister(script.c_str())
                                   : object.StringUnregister(script.c_str());
    if (hr == S_FALSE)
        std::abort();  // a script ends in success or a failure code
    return 0;
}
