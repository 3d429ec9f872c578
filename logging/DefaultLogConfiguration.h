#pragma once
// The configuration compiled into the module: the product's standard log
// files, used unless debugging is on and a configuration file exists.

#include "LogConfiguration.h"

class DefaultLogConfiguration : public LogUtils::PropertyLogConfiguration {
public:
    // Sections 0 to 4, each a file in the product's line format.
    DefaultLogConfiguration();
};

// The process's object, the runtime's (LogRuntime.h): made when it starts and
// read-only afterwards.
DefaultLogConfiguration& defaultLogConfiguration();
