// The orvo-sim command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "reply_faults.h"

namespace dravenholt::sim {

struct Options {
    std::string address = "127.0.0.1";
    uint16_t port = 4433;
    std::string stateDirectory;  // empty: $HOME/.orvo-sim
    bool quiet = false;
    std::optional<FaultPlan> fault;  // every reply spoilt this way (testing clients)
    bool help = false;
};

extern const char* const kUsage;

// The parsed options, or nothing with a reason in `error`.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

// $HOME/.orvo-sim, or ./.orvo-sim without HOME.
std::string defaultStateDirectory();

}  // namespace dravenholt::sim
