#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dravenholt::sim {

const char* const kUsage =
    "Usage: orvo-sim [--address ADDR] [--port PORT] [--state-dir DIR] [--quiet]\n"
    "\n"
    "Serves a simulated Orvo token over TLS, for liborvo-pkcs11 to use without hardware.\n"
    "\n"
    "  -a, --address ADDR    address to listen on; the server certificate is made for this\n"
    "                        text, and clients must use the same (default 127.0.0.1)\n"
    "  -p, --port PORT       TCP port; 0 picks a free one (default 4433)\n"
    "  -d, --state-dir DIR   where the simulator keeps its CA, server certificate, token state\n"
    "                        and the client's orvoconfig.json (default $HOME/.orvo-sim);\n"
    "                        created on first start\n"
    "  -q, --quiet           do not log client connections\n"
    "      --fault FAULT     misbehave on every reply, to test clients: none, silent,\n"
    "                        late[:MS] (default 1500 ms), drop-before, drop-during,\n"
    "                        drop-after, truncated, oversized, garbage, hollow,\n"
    "                        trickle[:MS] (a record a byte, default 100 ms apart)\n"
    "  -h, --help            show this text\n"
    "\n"
    "Clients need only ORVO_CONFIG_PATH=DIR to reach the simulator. SIGINT or SIGTERM stops it;\n"
    "the token state is saved as it changes, so it survives a restart.\n";

namespace {

bool parsePort(const char* text, uint16_t& port) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno || end == text || *end || value > 65535 || text[0] == '-') return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        bool flag = arg == "-h" || arg == "--help" || arg == "-q" || arg == "--quiet";
        if (flag && inlineValue) {
            error = arg + " takes no value";
            return std::nullopt;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "-a" || arg == "--address") {
            if (!takeValue()) return std::nullopt;
            if (value.empty()) {
                error = "the address is empty";
                return std::nullopt;
            }
            options.address = value;
        } else if (arg == "-p" || arg == "--port") {
            if (!takeValue()) return std::nullopt;
            if (!parsePort(value.c_str(), options.port)) {
                error = "not a port number: " + value;
                return std::nullopt;
            }
        } else if (arg == "--fault") {
            if (!takeValue()) return std::nullopt;
            options.fault = parseFaultPlan(value);
            if (!options.fault) {
                error = "unknown fault " + value + " (one of " + kFaultNames + ")";
                return std::nullopt;
            }
        } else if (arg == "-d" || arg == "--state-dir") {
            if (!takeValue()) return std::nullopt;
            options.stateDirectory = value;
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    if (options.stateDirectory.empty()) options.stateDirectory = defaultStateDirectory();
    return options;
}

std::string defaultStateDirectory() {
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.orvo-sim";
}

}  // namespace dravenholt::sim
