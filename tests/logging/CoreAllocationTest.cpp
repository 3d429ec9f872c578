// The hot path of routing: what must not touch the heap does not. Global
// operator new is replaced here to count this thread's allocations.
#include "DefaultLogConfiguration.h"
#include "FilterEvaluator.h"
#include "IniConfiguration.h"
#include "LogFormatter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {
thread_local long allocations = 0;
}

// The replaced pair matches; GCC only sees malloc inside new and free inside
// delete and cannot tell.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

long allocationsDuring(void (*work)())
{
    work();  // first use builds what is built once per process
    const long before = allocations;
    work();
    return allocations - before;
}

LogUtils::PropertyMap& properties()
{
    static LogUtils::PropertyMap map = {{L"activity", L"zuInstall"}, {L"dt", L"20261206000000"},
                                        {L"logdir", L"C:\\Logs"}, {L"debugEnable", L"0"}};
    return map;
}

}  // namespace

TEST(CoreAllocationTest, CounterSeesAllocations)
{
    EXPECT_LT(0, allocationsDuring([] { std::string text(100, 'x'); }));
}

TEST(CoreAllocationTest, BuiltInSectionsAreEvaluatedWithoutTheHeap)
{
    EXPECT_EQ(0, allocationsDuring([] {
        class Apply : public IEnumerable<LookupableW>::ActionType {
        public:
            bool operator()(LookupableW& section) override
            {
                LogUtils::LogPropertiesOnMapImpl view(&properties());
                LogRecord record(".\\Test", 1, LevelInfo, "OrnShExt", nullptr);
                FilterEvaluator evaluator;
                evaluator.evaluateCondition(section.getProperty(L"condition"), record, &view);
                evaluator.evaluateFilter(section.getProperty(L"filter"), record, &view);
                return false;
            }
        } apply;
        defaultLogConfiguration().firstThat(apply);
    }));
}

TEST(CoreAllocationTest, LinesIntoAFixedBufferNeedNoHeap)
{
    EXPECT_EQ(0, allocationsDuring([] {
        LogRecord record(".\\Test", 1, LevelInfo, "OrnShExt", nullptr);
        record.message = L"a wide message";
        record.hasErrorCode = true;
        record.errorCode = 5;
        char line[512];
        FixedBuffer_OStream out(line, line + sizeof line);
        LogUtils::logFormatter().format(out, L"%+D %+T %P:%+p %t %f %l %s %L %U %i %w %m", record);
    }));
}

TEST(CoreAllocationTest, SmallIniSectionUsesItsInlineBuffer)
{
    static std::wstring path;
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    path = std::wstring(folder) + L"orn-alloc-" + std::to_wstring(GetCurrentProcessId()) + L".ini";
    WritePrivateProfileStringW(L"small", L"type", L"file", path.c_str());
    WritePrivateProfileStringW(L"small", L"filter", L"*.Info", path.c_str());
    EXPECT_EQ(0, allocationsDuring([] {
        IniSection section(path.c_str(), L"small");
        section.getProperty(L"filter");
        section.getProperty(L"type");
        section.getProperty(L"missing");
    }));
    DeleteFileW(path.c_str());
}
