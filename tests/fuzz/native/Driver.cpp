// One libFuzzer program for every natively built reader: ORN_FUZZ_TARGET
// names the one a run feeds (condition, ini or regscript).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int fuzzCondition(const std::uint8_t* data, std::size_t size);
int fuzzIni(const std::uint8_t* data, std::size_t size);
int fuzzRegScript(const std::uint8_t* data, std::size_t size);

namespace {

using Target = int (*)(const std::uint8_t*, std::size_t);

Target chosenTarget()
{
    const char* name = std::getenv("ORN_FUZZ_TARGET");
    if (!name || std::strcmp(name, "condition") == 0)
        return fuzzCondition;
    if (std::strcmp(name, "ini") == 0)
        return fuzzIni;
    if (std::strcmp(name, "regscript") == 0)
        return fuzzRegScript;
    std::fprintf(stderr, "unknown ORN_FUZZ_TARGET %s\n", name);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const Target target = chosenTarget();
    return target(data, size);
}
