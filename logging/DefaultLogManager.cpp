#include "LogRecord.h"

// Until the process-wide manager exists, records go nowhere.
LogUtils::ILogManager* defaultLogManager()
{
    return nullptr;
}
