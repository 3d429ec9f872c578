#pragma once
// What a section's output is built on: a sink writes one record's line, which
// it obtains from the streamer.

#include "OStream.h"

namespace LogUtils {

class ILogSinkStreamer {
public:
    // Writes the current record's line (no line ending) into out.
    virtual bool stream(OStream<char>& out) = 0;

protected:
    ~ILogSinkStreamer() = default;
};

class ILogSink {
public:
    // True when the line was delivered; nobody is obliged to look.
    virtual bool write(ILogSinkStreamer& streamer) = 0;

protected:
    ~ILogSink() = default;
};

}  // namespace LogUtils
