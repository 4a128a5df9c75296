// The canned-reply floor: the simulator's TLS server, configured as orvo-sim configures it, with
// a responder that runs no device code and answers each request with as many bytes as the
// request's first two (little-endian) ask for; and the bare TLS client exchanging an operation's
// recorded request and reply sizes with it. It shows what the transport alone carries; the
// library's figure against it shows what the simulator itself costs per exchange.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bare_tls.h"
#include "recorder.h"

namespace orvo_bench {

// Serves on 127.0.0.1 at a free port, its identity kept in `directory` whose orvoconfig.json
// then names the server, until SIGINT or SIGTERM. Returns the process's exit status.
int serveCannedReplies(const std::string& directory);

// A bare TLS client of the server serving from `directory`. Throws BenchError when there is
// none.
std::unique_ptr<BareTlsClient> connectCannedReplies(const std::string& directory, uint32_t timeoutMs);

class CannedReplay {
public:
    // Throws BenchError when a recorded request is too short to carry its reply's length.
    CannedReplay(const std::vector<Exchange>& recorded, BareTlsClient& client);
    // Every exchange once; throws BenchError when a reply is not of the recorded size.
    void run();

private:
    std::vector<Bytes> requests_;
    std::vector<size_t> replyLengths_;
    BareTlsClient& client_;
};

}  // namespace orvo_bench
