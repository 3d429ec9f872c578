#pragma once
// The configuration compiled into the module: the product's standard log
// files, used unless debugging is on and a configuration file exists.

#include "LogConfiguration.h"

struct BuiltInLogSlot {
    const wchar_t* key;  // null: an empty slot
    const wchar_t* value;
};

constexpr int builtInLogSectionCount = 5;
constexpr int builtInLogSlotCount = 5;
using BuiltInLogTable = BuiltInLogSlot[builtInLogSectionCount][builtInLogSlotCount];

// The table itself; constant data, ready before any object of the module is
// constructed.
const BuiltInLogTable& builtInLogTable();

class DefaultLogConfiguration : public LogUtils::PropertyLogConfiguration {
public:
    // Filled from builtInLogTable(), section by section, slot by slot.
    DefaultLogConfiguration();
};

// The process's object, built at module load (after the manager) and
// read-only afterwards.
DefaultLogConfiguration& defaultLogConfiguration();
