// The device calls one operation made, sent again without the library: over the bare TLS
// client (the floor) or straight into a simulator engine (the device's own share of the
// in-process figure). A recorded CloseSession names the session that the OpenSession before it
// returned in this replay, the one thing that differs from run to run.
#pragma once

#include <functional>
#include <vector>

#include "recorder.h"

namespace orvo_bench {

// One request out, its reply into the buffer; the reply's length.
using ExchangeFn = std::function<size_t(const Bytes& request, uint8_t* reply, size_t capacity)>;

class Replay {
public:
    // Checks that the recorded calls can be replayed byte for byte; throws BenchError if not.
    Replay(std::vector<Exchange> recorded, ExchangeFn exchange);
    // Sends every recorded request once; throws BenchError when a reply is not CKR_OK.
    void run();
    size_t calls() const { return recorded_.size(); }

private:
    std::vector<Exchange> recorded_;
    ExchangeFn exchange_;
};

}  // namespace orvo_bench
