// A scripted device behind the library's lister/factory seam: it decodes every request it
// receives, so tests can assert which fields were sent, and answers from a per-test script.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "transport/transport.h"

namespace orvotest {

using dravenholt::wire::Bytes;
using dravenholt::wire::Request;
using dravenholt::wire::Response;

// One scripted answer: the raw bytes the device sends back (possibly broken on purpose).
using Answer = std::function<Bytes(const Request&)>;

Bytes encode(const Response& response);
Answer reply(uint32_t rv);                  // a response with only field 1
Answer reply(const Response& response);     // a whole response
Answer replyRaw(Bytes bytes);               // exactly these bytes (empty: no answer)

struct ScriptedDevice {
    std::mutex mutex;
    std::vector<Request> requests;     // decoded, in arrival order
    std::vector<Bytes> rawRequests;
    std::vector<Bytes> heldAtRead;     // what each request's place in the library held at its read
    std::deque<Answer> script;         // answers used in order
    Answer fallback = reply(0);        // when the script is empty
    std::string openError;             // non-empty: open() throws DeviceError with this text
    int opens = 0;
    int closes = 0;
    uint32_t timeout = 0;
    std::vector<uint32_t> timeouts;    // every setTimeout value
    dravenholt::TransportKind kind = dravenholt::TransportKind::Network;

    void answer(Answer a) {
        std::lock_guard<std::mutex> g(mutex);
        script.push_back(std::move(a));
    }
    // Requests other than the set-time calls of C_Initialize.
    std::vector<Request> calls();
    Request lastCall();
};

using DevicePtr = std::shared_ptr<ScriptedDevice>;

// Installs the devices into the library context (before C_Initialize): slot i is devices[i].
void installDevices(const std::vector<DevicePtr>& devices);

}  // namespace orvotest
