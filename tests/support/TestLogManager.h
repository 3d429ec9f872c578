#pragma once
// The log manager of the tests: what a record's handling sees while the
// manager holds it (onLog), then the product's routing through a
// configuration and properties of the test's own. Tests of a routing alone
// need no manager: LogUtils::CompiledRouting routes by itself.

#include "LogManager.h"

#include <functional>

namespace testsupport {

class TestLogManager : public LogUtils::ILogManager {
public:
    void log(LogRecord& record) override
    {
        ++calls;
        if (onLog)
            onLog(record);
        LogUtils::LogPropertiesOnMapImpl view(&properties);
        LogUtils::CompiledRouting(configuration, view).route(record);
    }

    int calls = 0;
    std::function<void(LogRecord&)> onLog;
    LogUtils::PropertyMap properties;  // "logdir" and the rest, as the test sets them
    LogUtils::PropertyLogConfiguration configuration;  // empty: the record goes nowhere
};

}  // namespace testsupport
