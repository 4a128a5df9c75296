#include "canned_floor.h"

#include <pthread.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "bench_error.h"
#include "state_directory.h"
#include "tls_server.h"

namespace orvo_bench {
namespace {

using dravenholt::sim::Reply;

constexpr char kAddress[] = "127.0.0.1";
constexpr size_t kLengthBytes = 2;
constexpr size_t kMaxReply = 4096;

// A request that asks for nothing ends its connection.
Reply cannedReply(const Bytes& request) {
    if (request.size() < kLengthBytes) return Reply(std::nullopt);
    size_t length = request[0] | size_t(request[1]) << 8;
    if (length == 0 || length > kMaxReply) return Reply(std::nullopt);
    return Reply(Bytes(length, 0));
}

}  // namespace

int serveCannedReplies(const std::string& directory) {
    // Stop signals are taken by sigwait only; the server's threads inherit the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    try {
        dravenholt::sim::StateDirectory state(directory);
        dravenholt::sim::TlsServer server(kAddress, 0, state.prepare(kAddress),
                                          dravenholt::sim::sameForAll(cannedReply));
        state.writeClientConfig(kAddress, server.port());
        std::cout << "orvo-bench: canned replies, listening on " << kAddress << ':' << server.port() << std::endl;
        int signal = 0;
        sigwait(&stop, &signal);
        server.stop();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "orvo-bench: canned-reply server: " << e.what() << '\n';
        return 1;
    }
}

std::unique_ptr<BareTlsClient> connectCannedReplies(const std::string& directory, uint32_t timeoutMs) {
    std::ifstream file(directory + "/orvoconfig.json");
    nlohmann::json config = nlohmann::json::parse(file, nullptr, false);
    std::string address, caBundle;
    uint32_t port = 0;
    try {
        const nlohmann::json& transport = config.at("transport");
        address = transport.at("address").get<std::string>();
        port = transport.at("port").get<uint32_t>();
        caBundle = transport.at("cacertbundle").get<std::string>();
    } catch (const nlohmann::json::exception&) {
        throw BenchError("no canned-reply server is described in " + directory);
    }
    return std::make_unique<BareTlsClient>(address, port, caBundle, timeoutMs);
}

CannedReplay::CannedReplay(const std::vector<Exchange>& recorded, BareTlsClient& client) : client_(client) {
    for (const Exchange& e : recorded) {
        if (e.request.size() < kLengthBytes || e.reply.empty() || e.reply.size() > kMaxReply)
            throw BenchError("a recorded exchange cannot be sized for the canned-reply server");
        Bytes request = e.request;  // of the recorded size; only the length bytes change
        request[0] = static_cast<uint8_t>(e.reply.size());
        request[1] = static_cast<uint8_t>(e.reply.size() >> 8);
        requests_.push_back(std::move(request));
        replyLengths_.push_back(e.reply.size());
    }
}

void CannedReplay::run() {
    uint8_t reply[kMaxReply];
    for (size_t i = 0; i < requests_.size(); ++i)
        if (client_.exchange(requests_[i].data(), requests_[i].size(), reply, sizeof reply) != replyLengths_[i])
            throw BenchError("a canned reply is not of the recorded size");
}

}  // namespace orvo_bench
