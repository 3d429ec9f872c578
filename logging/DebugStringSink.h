#pragma once
// Hands each line to the debugger output.

#include "LogSink.h"

namespace LogUtils {

class DebugStringSink : public ILogSink {
public:
    // The line and a single line feed.
    bool write(ILogSinkStreamer& streamer) override;
};

}  // namespace LogUtils
