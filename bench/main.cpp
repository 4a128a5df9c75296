// orvo-bench: see bench/CMakeLists.txt. scripts/bench.sh starts orvo-sim and p11-kit's server,
// prepares SoftHSM2 and runs this with everything pinned to one CPU.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "contenders.h"

using namespace orvo_bench;

namespace {

const char kUsage[] =
    "usage: orvo-bench [--rounds N] [--seconds S] [--only TEXT] [--softhsm PATH] [--p11kit-client PATH]\n"
    "                  [--canned-replies DIR] [--chart-data FILE]\n"
    "       orvo-bench --serve-canned-replies DIR\n"
    "  --only TEXT        measure only the operations whose name contains TEXT\n"
    "  --canned-replies DIR  measure against the canned-reply server serving from DIR\n"
    "  --chart-data FILE  also write the figures as a data file for the chart\n"
    "  --serve-canned-replies DIR  be that server (its state in DIR) until SIGINT or SIGTERM\n"
    "  ORVO_CONFIG_PATH   orvo-sim's state directory (its orvoconfig.json)\n"
    "  SOFTHSM2_CONF      SoftHSM2's configuration, for the direct calls\n"
    "  P11_KIT_SERVER_ADDRESS  the socket of a `p11-kit server` in front of SoftHSM2\n";

struct Options {
    int rounds = 21;
    double seconds = 0.1;
    std::string only;
    std::string chartData;
    std::string serveCanned;
    Paths paths;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--rounds") options.rounds = std::atoi(value);
        else if (arg == "--seconds") options.seconds = std::atof(value);
        else if (arg == "--only") options.only = value;
        else if (arg == "--softhsm") options.paths.softhsm = value;
        else if (arg == "--p11kit-client") options.paths.p11kitClient = value;
        else if (arg == "--canned-replies") options.paths.cannedReplies = value;
        else if (arg == "--chart-data") options.chartData = value;
        else if (arg == "--serve-canned-replies") options.serveCanned = value;
        else return false;
    }
    return options.rounds > 0 && options.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (!options.serveCanned.empty()) return serveCannedReplies(options.serveCanned);
    try {
        Contenders contenders(options.paths);
        std::vector<Figures> all;
        for (size_t i = 0; i < kOperationCount; ++i) {
            if (std::string(kOperations[i].name).find(options.only) == std::string::npos) continue;
            std::cerr << "measuring " << kOperations[i].name << "...\n";
            all.push_back(contenders.measure(kOperations[i], options.rounds, options.seconds));
        }
        std::cout << options.rounds << " rounds of " << options.seconds
                  << " s per contender and operation; medians over the rounds.\n\n";
        printTransportTable(std::cout, all);
        std::cout << '\n';
        printInProcessTable(std::cout, all);
        if (!options.chartData.empty()) writeChartData(options.chartData, all);
        for (const std::string& note : contenders.notes()) std::cout << "note: " << note << '\n';
        for (const Figures& f : all)
            for (const std::string& note : f.notes) std::cout << "note: " << note << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "orvo-bench: " << e.what() << '\n';
        return 1;
    }
}
