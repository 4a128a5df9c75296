#include "replay.h"

#include "bench_error.h"
#include "protocol/function_ids.h"
#include "wire_peek.h"

namespace orvo_bench {
namespace {

bool isCall(const Bytes& request, uint32_t function) { return numberField(request, 1) == function; }

}  // namespace

Replay::Replay(std::vector<Exchange> recorded, ExchangeFn exchange)
    : recorded_(std::move(recorded)), exchange_(std::move(exchange)) {
    if (recorded_.empty()) throw BenchError("no device call was recorded");
    std::optional<uint32_t> opened;
    for (const Exchange& e : recorded_) {
        if (numberField(e.reply, 1) != 0u) throw BenchError("a recorded device call failed");
        if (isCall(e.request, dravenholt::fn::OpenSession)) opened = numberField(e.reply, 2);
        if (isCall(e.request, dravenholt::fn::CloseSession) &&
            (!opened || closeSessionRequest(*opened) != e.request))
            throw BenchError("the recorded CloseSession cannot be rebuilt byte for byte");
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
