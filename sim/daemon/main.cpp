// orvo-sim: the simulated token served over TLS. Prepares its state directory, serves until
// SIGINT or SIGTERM, then ends every connection and exits.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "engine_service.h"
#include "options.h"
#include "state_directory.h"
#include "tls_server.h"

using namespace dravenholt::sim;

namespace {

void say(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> guard(mutex);
    std::cout << "orvo-sim: " << line << std::endl;
}

int serve(const Options& options, const sigset_t& stopSignals) {
    StateDirectory directory(options.stateDirectory);
    ServerIdentity identity = directory.prepare(options.address);
    EngineOptions engineOptions;
    engineOptions.stateFile = directory.stateFile();
    Engine engine(engineOptions);
    ResponderFactory answer = engineService(engine);
    if (options.fault) {
        auto faults = std::make_shared<FaultSwitch>();
        faults->set(*options.fault);
        answer = withFaults(std::move(answer), faults);
        say("spoiling every reply, as --fault asks");
    }
    ServerLog log = options.quiet ? ServerLog{} : ServerLog{say};
    TlsServer server(options.address, options.port, std::move(identity), answer, log);
    directory.writeClientConfig(options.address, server.port());
    say("listening on " + options.address + ":" + std::to_string(server.port()) + ", state in " +
        directory.path().string());
    say("clients: ORVO_CONFIG_PATH=" + directory.path().string());

    int signal = 0;
    sigwait(&stopSignals, &signal);
    say(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    say("stopped; the token state is kept in " + directory.path().string());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    std::optional<Options> options = parseOptions(argc, argv, error);
    if (!options) {
        std::cerr << "orvo-sim: " << error << "\n\n" << kUsage;
        return 2;
    }
    if (options->help) {
        std::cout << kUsage;
        return 0;
    }
    // Stop signals are taken by sigwait only; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return serve(*options, stopSignals);
    } catch (const std::exception& e) {
        std::cerr << "orvo-sim: " << e.what() << "\n";
        return 1;
    }
}
