// Everything measured, set up once: the library (linked into this program) with two devices
// behind it, orvo-sim over TLS on port 0 and a simulator engine in-process on port 1, both
// recorded while asked to; the bare TLS client, the library's transport alone and a client of
// the engine of its own, each with the fixture made again for its replays; a bare TLS client
// of the canned-reply server; SoftHSM2 loaded directly; p11-kit's client module talking to a
// `p11-kit server` in front of SoftHSM2.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bare_tls.h"
#include "canned_floor.h"
#include "engine/engine_client.h"
#include "figures.h"
#include "fixture.h"
#include "module.h"
#include "recorder.h"
#include "replay.h"
#include "transport/tcp_transport.h"

namespace orvo_bench {

struct Paths {
    std::string softhsm = "/usr/lib/softhsm/libsofthsm2.so";
    std::string p11kitClient = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so";
    std::string cannedReplies;  // the canned-reply server's directory; empty: not measured
};

class Contenders {
public:
    // Needs ORVO_CONFIG_PATH naming orvo-sim's state directory; throws BenchError otherwise or
    // when the library or orvo-sim fails. SoftHSM2, p11-kit and the canned-reply server are
    // optional: without them their columns read n/a and `notes()` says why.
    explicit Contenders(const Paths& paths);
    ~Contenders();

    // Measures one operation over `rounds` rounds of `seconds` per contender.
    Figures measure(const Operation& operation, int rounds, double seconds);
    const std::vector<std::string>& notes() const { return notes_; }

private:
    std::optional<Fixture> optionalFixture(const std::string& name, const std::string& path, const char* needsEnv,
                                           std::unique_ptr<Module>& module);
    // The device calls that `work` makes.
    std::vector<Exchange> recorded(const std::function<void()>& work);
    // The fixture of `slot`, its device calls recorded into `setup`.
    Fixture recordedFixture(CK_FUNCTION_LIST* list, CK_SLOT_ID slot, std::vector<Exchange>& setup);

    Recorder recorder_;
    std::shared_ptr<dravenholt::sim::Engine> engine_;
    std::unique_ptr<Module> orvo_, softhsm_, p11kit_;
    Fixture overTls_, inProcess_;
    std::optional<Fixture> softhsmFixture_, p11kitFixture_;
    std::unique_ptr<BareTlsClient> bare_, canned_;
    std::unique_ptr<dravenholt::TCPTransport> transport_;  // the library's transport alone
    std::unique_ptr<dravenholt::sim::EngineClient> engineClient_;
    ExchangeFn toBare_, toTransport_, toEngine_;
    Handles bareHandles_, transportHandles_, engineHandles_;
    std::vector<std::string> notes_;
};

}  // namespace orvo_bench
