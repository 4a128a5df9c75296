// The device calls one operation made, sent again without the library: over the bare TLS
// client (the floor), the library's transport alone, or straight into a simulator engine (the
// device's own share of the in-process figure). Each of these is a client of the device of its
// own, whose sessions and objects are not the library's: it first makes the fixture again
// (replaySetup), and the recorded requests are sent with its handles in place of the recorded
// ones. A recorded CloseSession names the session that the OpenSession before it returned in
// this replay, the one thing that differs from run to run.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "recorder.h"

namespace orvo_bench {

// One request out, its reply into the buffer; the reply's length.
using ExchangeFn = std::function<size_t(const Bytes& request, uint8_t* reply, size_t capacity)>;

// The handles a replaying client holds in place of the recorded ones.
struct Handles {
    std::map<uint32_t, uint32_t> sessions;  // request field 2
    std::map<uint32_t, uint32_t> objects;   // request fields 6 and 12
};

// Sends the recorded fixture preparation over `exchange`, each request with the handles made so
// far in place, and pairs the handles of every reply with those of the recorded reply. Throws
// BenchError when a step fails.
Handles replaySetup(const std::vector<Exchange>& setup, const ExchangeFn& exchange);

class Replay {
public:
    // Checks that the recorded calls can be replayed byte for byte; throws BenchError if not.
    Replay(std::vector<Exchange> recorded, ExchangeFn exchange, const Handles& handles);
    // Sends every recorded request once; throws BenchError when a reply is not CKR_OK.
    void run();
    size_t calls() const { return recorded_.size(); }

private:
    std::vector<Exchange> recorded_;
    ExchangeFn exchange_;
};

}  // namespace orvo_bench
