#pragma once
// Shared pieces of logcheck: output for people or scripts, and the product
// objects every command reads.

#include "DefaultLogManager.h"
#include "FilterEvaluator.h"
#include "LogConfiguration.h"

#include <windows.h>

#include <string>
#include <vector>

namespace logcheck {

constexpr int exitClean = 0;
constexpr int exitFound = 1;  // lint: problems; trace: delivered nowhere
constexpr int exitError = 2;  // usage, or a file that cannot be read

void print(const std::wstring& text);   // UTF-8 to standard output
int fail(const std::wstring& message);  // to standard error; answers exitError

std::wstring quote(const std::wstring& text);     // "text"
std::wstring widen(const char* text);             // from the ANSI code page
std::string narrow(const std::wstring& text);     // to the ANSI code page
std::wstring number(unsigned long long value);
bool equalIgnoringCase(const wchar_t* left, const wchar_t* right);

// A JSON object written field by field.
class JsonObject {
public:
    JsonObject& field(const wchar_t* name, const std::wstring& raw);  // raw JSON value
    JsonObject& text(const wchar_t* name, const std::wstring& value);
    JsonObject& flag(const wchar_t* name, bool value);
    std::wstring str() const { return L"{" + body_ + L"}"; }

private:
    std::wstring body_;
};
std::wstring jsonArray(const std::vector<std::wstring>& rawValues);

DefaultLogManager& manager();
// The run-time properties the manager routes with now.
LogUtils::PropertyMap currentProperties();
bool isReadableFile(const std::wstring& path);

// A filter pattern in words: "components beginning "kw" up to Info".
std::wstring describePattern(const LogUtils::FilterPattern& pattern);

// Where a condition's parse stopped: "column 12, at "zuInstall"".
std::wstring parseStop(const wchar_t* condition, std::size_t stop);

int lint(const std::wstring& path, bool json);

struct TraceRequest {
    std::string component = "OrnShExt";
    int level = LevelInfo;
    std::wstring message = L"logcheck trace";
    std::wstring iniPath;  // empty: the manager's choice
    bool builtIn = false;
    std::vector<std::pair<std::wstring, std::wstring>> overrides;
    bool write = false;
    bool json = false;
};
int trace(const TraceRequest& request);

}  // namespace logcheck
