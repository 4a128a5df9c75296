#include "replay.h"

#include "bench_error.h"
#include "protocol/function_ids.h"
#include "wire_peek.h"

namespace orvo_bench {
namespace {

bool isCall(const Bytes& request, uint32_t function) { return numberField(request, 1) == function; }

Bytes withHandles(const Bytes& request, const Handles& handles) {
    std::optional<Bytes> out = withNumbersMapped(request, 2, handles.sessions);
    if (out) out = withNumbersMapped(*out, 6, handles.objects);
    if (out) out = withNumbersMapped(*out, 12, handles.objects);
    if (!out) throw BenchError("a recorded request cannot be read");
    return *out;
}

// Pairs a handle field of the recorded reply with the same field of the replayed one.
void pair(const Bytes& recorded, const uint8_t* reply, size_t length, uint32_t field,
          std::map<uint32_t, uint32_t>& handles) {
    std::optional<uint32_t> was = numberField(recorded, field), is = numberField(reply, length, field);
    if (was && is) handles[*was] = *is;
}

}  // namespace

Handles replaySetup(const std::vector<Exchange>& setup, const ExchangeFn& exchange) {
    Handles handles;
    uint8_t reply[4096];
    for (const Exchange& e : setup) {
        size_t n = exchange(withHandles(e.request, handles), reply, sizeof reply);
        if (numberField(reply, n, 1) != 0u) throw BenchError("the fixture cannot be made again for a replay");
        if (isCall(e.request, dravenholt::fn::OpenSession)) {
            pair(e.reply, reply, n, 2, handles.sessions);
        } else {
            pair(e.reply, reply, n, 2, handles.objects);
            pair(e.reply, reply, n, 5, handles.objects);
        }
    }
    return handles;
}

Replay::Replay(std::vector<Exchange> recorded, ExchangeFn exchange, const Handles& handles)
    : recorded_(std::move(recorded)), exchange_(std::move(exchange)) {
    if (recorded_.empty()) throw BenchError("no device call was recorded");
    std::optional<uint32_t> opened;
    for (Exchange& e : recorded_) {
        if (numberField(e.reply, 1) != 0u) throw BenchError("a recorded device call failed");
        if (isCall(e.request, dravenholt::fn::OpenSession)) opened = numberField(e.reply, 2);
        if (isCall(e.request, dravenholt::fn::CloseSession) &&
            (!opened || closeSessionRequest(*opened) != e.request))
            throw BenchError("the recorded CloseSession cannot be rebuilt byte for byte");
        e.request = withHandles(e.request, handles);
    }
}

void Replay::run() {
    uint8_t reply[4096];
    std::optional<uint32_t> opened;
    for (const Exchange& e : recorded_) {
        bool closing = opened && isCall(e.request, dravenholt::fn::CloseSession);
        size_t n = exchange_(closing ? closeSessionRequest(*opened) : e.request, reply, sizeof reply);
        if (numberField(reply, n, 1) != 0u) throw BenchError("a replayed device call failed");
        if (isCall(e.request, dravenholt::fn::OpenSession)) opened = numberField(reply, n, 2);
    }
}

}  // namespace orvo_bench
