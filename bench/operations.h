// The operations measured, one call of `run` each, over any module's function list. Every
// failing return code throws BenchError.
#pragma once

#include "fixture.h"

namespace orvo_bench {

// What an operation must reach besides 0.95 of the bare TLS floor, as shares of another
// contender's rate; 0 where nothing is asked.
struct Targets {
    double ofRemoting = 0;  // over TLS, of p11-kit's remoting in front of SoftHSM2
    double ofCanned = 0;    // over TLS, of the canned-reply floor (no device work)
    double ofDirect = 0;    // in-process, of SoftHSM2 called directly
};

struct Operation {
    const char* name;
    const char* unit;     // what the rate counts
    double unitsPerRun;   // of `unit`
    void (*run)(const Fixture& fixture);
    Targets targets;
};

extern const Operation kOperations[];
extern const size_t kOperationCount;

}  // namespace orvo_bench
