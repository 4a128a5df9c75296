// The figures of one operation across every contender, the two tables printed from them and
// the data file the chart is drawn from.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "operations.h"
#include "timing.h"

namespace orvo_bench {

struct Figures {
    const Operation* operation = nullptr;
    // Over TLS: the bare TLS loop against the canned-reply server (no device work), and against
    // orvo-sim: the bare TLS loop (the floor), the library's transport alone sending the same
    // requests, the library, and p11-kit's client against its server.
    Series canned, bareTls, transportAlone, orvoTls, p11kitRemote;
    // In-process: SoftHSM2 called directly, the library with a simulator engine behind it, and
    // the engine alone answering the same requests.
    Series softhsmDirect, orvoInProcess, engineAlone;
    size_t deviceCalls = 0;           // per operation
    std::vector<std::string> notes;   // failures
};

// Over TLS: each figure, the library's as ratios to the floors and to p11-kit, with the targets.
void printTransportTable(std::ostream& out, const std::vector<Figures>& all);
// In-process: the library with the engine behind it, against SoftHSM2 called directly, and
// the library's own time per device call (in-process time less the engine's).
void printInProcessTable(std::ostream& out, const std::vector<Figures>& all);
// One tab-separated line per operation: the library's rate over TLS and its ratios to the
// floor, the canned-reply floor, p11-kit and (in-process) SoftHSM2, "-" where a contender was
// not measured. Throws BenchError when the file cannot be written.
void writeChartData(const std::string& path, const std::vector<Figures>& all);

}  // namespace orvo_bench
