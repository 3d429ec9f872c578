#include "DebugStringSink.h"

#include <windows.h>

#include <string>

namespace LogUtils {

bool DebugStringSink::write(ILogSinkStreamer& streamer)
{
    std::string line;
    ATLString_OStream out(line);
    streamer.stream(out);
    line += '\n';
    OutputDebugStringA(line.c_str());
    return true;
}

}  // namespace LogUtils
