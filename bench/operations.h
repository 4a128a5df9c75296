// The operations measured, one call of `run` each, over any module's function list. Every
// failing return code throws BenchError.
#pragma once

#include "fixture.h"

namespace orvo_bench {

struct Operation {
    const char* name;
    const char* unit;     // what the rate counts
    double unitsPerRun;   // of `unit`
    void (*run)(const Fixture& fixture);
};

extern const Operation kOperations[];
extern const size_t kOperationCount;

}  // namespace orvo_bench
