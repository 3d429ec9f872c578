// logcheck: checks a logging configuration, traces a record through it and
// previews a line format, with the product's own reader, evaluator and
// formatter.

#include "LogCheck.h"

#include "ConfigFileWatch.h"
#include "LogFormatter.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace logcheck {

namespace {

const wchar_t usage[] =
    L"usage: logcheck lint [FILE] [--json]\n"
    L"         Lists what every section of FILE (default: the logCfg.Ini the log manager\n"
    L"         reads) does, then each problem as FILE:SECTION: message.\n"
    L"         Exit code 0 clean, 1 problems found, 2 the file cannot be read.\n"
    L"       logcheck trace --component NAME --level N|NAME [--message TEXT]\n"
    L"                      [--ini FILE | --builtin] [--property NAME=VALUE ...] [--write] "
    L"[--json]\n"
    L"         Says for every section whether it takes the record and why, and for each\n"
    L"         that does the exact line and where it goes. The properties and the\n"
    L"         configuration are the log manager's own unless given. Nothing is written\n"
    L"         unless --write sends the record through the log manager.\n"
    L"         Exit code 0 delivered somewhere, 1 delivered nowhere, 2 usage.\n"
    L"       logcheck format FORMAT [--component NAME] [--level N|NAME] [--message TEXT]\n"
    L"         Prints the line the formatter makes of a sample record.\n";

// A JSON string literal.
std::wstring jsonText(const std::wstring& text)
{
    std::wstring result = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            result += L'\\';
            result += c;
        } else if (c < 0x20) {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            result += escape;
        } else {
            result += c;
        }
    }
    return result + L"\"";
}

void writeUtf8(FILE* stream, const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], size,
                            nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

// "6", or a level name or a leading part of one; -1 for anything else.
int parseLevel(const std::wstring& text)
{
    if (text.size() == 1 && text[0] >= L'0' && text[0] < L'0' + logLevelCount)
        return text[0] - L'0';
    return text.empty() ? -1 : levelNamed(narrow(text).c_str());
}

int format(const std::wstring& formatText, const TraceRequest& sample)
{
    LogRecord record("logcheck", 0, sample.level, sample.component.c_str(), nullptr);
    record.message = sample.message.c_str();
    std::string line;
    ATLString_OStream out(line);
    LogUtils::logFormatter().format(out, formatText.c_str(), record);
    print(widen(line.c_str()) + L"\n");
    return exitClean;
}

}  // namespace

void print(const std::wstring& text)
{
    writeUtf8(stdout, text);
}

int fail(const std::wstring& message)
{
    writeUtf8(stderr, L"logcheck: " + message + L"\n");
    return exitError;
}

std::wstring quote(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

std::wstring widen(const char* text)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring result(size > 0 ? size : 1, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, text, -1, &result[0], size);
    result.resize(std::wcslen(result.c_str()));
    return result;
}

std::string narrow(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size : 1, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    result.resize(std::strlen(result.c_str()));
    return result;
}

std::wstring number(unsigned long long value)
{
    return std::to_wstring(value);
}

bool equalIgnoringCase(const wchar_t* left, const wchar_t* right)
{
    return left && right && _wcsicmp(left, right) == 0;
}

JsonObject& JsonObject::field(const wchar_t* name, const std::wstring& raw)
{
    if (!body_.empty())
        body_ += L",";
    body_ += jsonText(name) + L":" + raw;
    return *this;
}

JsonObject& JsonObject::text(const wchar_t* name, const std::wstring& value)
{
    return field(name, jsonText(value));
}

JsonObject& JsonObject::flag(const wchar_t* name, bool value)
{
    return field(name, value ? L"true" : L"false");
}

std::wstring jsonArray(const std::vector<std::wstring>& rawValues)
{
    std::wstring result = L"[";
    for (const std::wstring& value : rawValues)
        result += (result.size() > 1 ? L"," : L"") + value;
    return result + L"]";
}

DefaultLogManager& manager()
{
    return *dynamic_cast<DefaultLogManager*>(defaultLogManager());
}

LogUtils::PropertyMap currentProperties()
{
    const auto properties = manager().currentProperties();
    return properties ? *properties : LogUtils::PropertyMap();
}

bool isReadableFile(const std::wstring& path)
{
    orn::unique_file file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(file);
}

std::wstring describePattern(const LogUtils::FilterPattern& pattern)
{
    if (!pattern.hasDot)
        return quote(pattern.token) + L" matches nothing";
    const std::wstring component(pattern.component(), pattern.componentLength);
    const int level = pattern.level >= 0 ? pattern.level
                                         : levelFromName(narrow(pattern.levelPart()).c_str());
    return std::wstring(pattern.exclusion ? L"except " : L"") +
           (pattern.anyComponent ? L"every component"
                                 : L"components beginning " + quote(component)) +
           L" up to " + widen(logLevelNames[level]);
}

std::wstring parseStop(const wchar_t* condition, std::size_t stop)
{
    const std::wstring rest = std::wstring(condition).substr(stop);
    return L"column " + number(stop + 1) + (rest.empty() ? L", at the end" : L", at " + rest);
}

}  // namespace logcheck

using namespace logcheck;

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"help") {
        print(usage);
        return args.empty() ? exitError : exitClean;
    }
    const std::wstring command = args[0];
    TraceRequest request;
    std::vector<std::wstring> positional;
    bool levelGiven = false;
    bool componentGiven = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == L"--json") {
            request.json = true;
        } else if (arg == L"--write") {
            request.write = true;
        } else if (arg == L"--builtin") {
            request.builtIn = true;
        } else if (arg == L"--component" && hasValue) {
            request.component = narrow(args[++i]);
            componentGiven = true;
        } else if (arg == L"--level" && hasValue) {
            request.level = parseLevel(args[++i]);
            if (request.level < 0)
                return fail(L"no such level: " + args[i]);
            levelGiven = true;
        } else if (arg == L"--message" && hasValue) {
            request.message = args[++i];
        } else if (arg == L"--ini" && hasValue) {
            request.iniPath = args[++i];
        } else if (arg == L"--property" && hasValue) {
            const std::wstring& pair = args[++i];
            const std::size_t equals = pair.find(L'=');
            if (equals == std::wstring::npos || equals == 0)
                return fail(L"--property wants NAME=VALUE, not " + pair);
            request.overrides.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
        } else if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') {
            return fail(L"unknown option or missing value: " + arg + L" (see logcheck --help)");
        } else {
            positional.push_back(arg);
        }
    }

    if (command == L"lint") {
        if (positional.size() > 1)
            return fail(L"lint takes one file");
        return lint(positional.empty() ? configurationFilePath() : positional[0], request.json);
    }
    if (command == L"trace") {
        if (!positional.empty() || !componentGiven || !levelGiven)
            return fail(L"trace wants --component NAME and --level N|NAME (see logcheck --help)");
        if (request.builtIn && !request.iniPath.empty())
            return fail(L"give --ini or --builtin, not both");
        if (request.write &&
            (request.builtIn || !request.iniPath.empty() || !request.overrides.empty()))
            return fail(
                L"--write routes with the manager's own properties and configuration: "
                L"leave out --ini, --builtin and --property");
        return trace(request);
    }
    if (command == L"format") {
        if (positional.size() != 1)
            return fail(L"format wants one FORMAT");
        return format(positional[0], request);
    }
    return fail(L"unknown command " + command + L" (see logcheck --help)");
}
