// The hot path of routing: what must not touch the heap does not. Global
// operator new is replaced here to count this thread's allocations.
#include "DefaultLogConfiguration.h"
#include "LogFileSink.h"
#include "LogFormatter.h"
#include "LogManager.h"

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

// The manager's decision for a record that no section writes: every section
// of the built-in routing decided, the filters' component tests included.
TEST(CoreAllocationTest, BuiltInSectionsAreDecidedWithoutTheHeap)
{
    static const LogUtils::CompiledRouting routing = [] {
        LogUtils::LogPropertiesOnMapImpl view(&properties());
        return LogUtils::CompiledRouting(defaultLogConfiguration(), view);
    }();
    EXPECT_EQ(0, allocationsDuring([] {
        for (const char* component : {"OrnShExt", "kwAgentUpdate", "QuarvelOASDetectionX"}) {
            LogRecord record(".\\Test", 1, LevelDebug, component, nullptr);
            for (const LogUtils::RoutedSection& section : routing.sections())
                section.decide(record);
        }
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

// A line through a file sink holds its own text and nothing more: no writer
// beside it, the turn costs it no allocation.
TEST(CoreAllocationTest, FileLineAllocatesOnlyItsText)
{
    struct Text : LogUtils::ILogSinkStreamer {
        bool stream(LogUtils::OStream<char>& out) override
        {
            out.writeString("one line");
            return true;
        }
    };
    static const std::wstring path = [] {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        return std::wstring(folder) + L"orn-allocation.log";
    }();
    EXPECT_EQ(1, allocationsDuring([] {
        Text text;
        LogUtils::LogFileSink(path.c_str(), 0x200000, true).write(text);
    }));
    DeleteFileW(path.c_str());
}
