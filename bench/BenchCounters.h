#pragma once
// Counters the benchmark reads around the code it measures: heap allocations
// of the whole program, and calls into system modules through the program's
// import table.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace bench {

// operator new and malloc calls since the start of the program.
long allocationCount();

// Routes every imported function of this program through a counting thunk.
// False when the import table could not be rewritten.
bool countImportedCalls();

// Imported functions called since the last reset, as "module!function" and
// count, in import-table order.
std::vector<std::pair<std::string, long>> importedCalls();
void resetImportedCalls();

}  // namespace bench
