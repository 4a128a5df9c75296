#include "contenders.h"

#include <cstdlib>
#include <cstring>

#include "bench_error.h"
#include "frame/context.h"
#include "inprocess/inprocess_transport.h"
#include "replay.h"
#include "timing.h"
#include "transport/network_pair.h"

namespace orvo_bench {
namespace {

constexpr CK_SLOT_ID kTlsSlot = 0;
constexpr CK_SLOT_ID kInProcessSlot = 1;

}  // namespace

Contenders::Contenders(const Paths& paths) : engine_(std::make_shared<dravenholt::sim::Engine>()) {
    dravenholt::Context& context = dravenholt::getContext();
    const dravenholt::Settings& settings = context.settings();
    if (settings.address.empty())
        throw BenchError("ORVO_CONFIG_PATH must name a directory whose orvoconfig.json points at orvo-sim");
    std::string address = settings.address, caBundle = settings.caBundle;
    uint32_t port = settings.port;
    context.setDevicePair([](const dravenholt::Settings&) { return std::vector<uint64_t>{0, 1}; },
                          [this](uint64_t id, const dravenholt::Settings& s,
                                 dravenholt::LogTarget& log) -> std::unique_ptr<dravenholt::Transport> {
                              std::unique_ptr<dravenholt::Transport> inner;
                              if (id == 0) inner = dravenholt::makeNetworkTransport(0, s, log);
                              else inner = std::make_unique<dravenholt::sim::InProcessTransport>(engine_);
                              return std::make_unique<RecordingTransport>(std::move(inner), recorder_);
                          });
    CK_FUNCTION_LIST* list = nullptr;
    check(C_GetFunctionList(&list), "C_GetFunctionList");
    orvo_ = Module::linked(list);
    std::vector<Exchange> tlsSetup, inProcessSetup;
    overTls_ = recordedFixture(list, kTlsSlot, tlsSetup);
    inProcess_ = recordedFixture(list, kInProcessSlot, inProcessSetup);
    bare_ = std::make_unique<BareTlsClient>(address, port, caBundle, settings.timeoutMs);
    transport_ = std::make_unique<dravenholt::TCPTransport>(address, port, caBundle, nullptr);
    transport_->setTimeout(settings.timeoutMs);
    transport_->open();
    engineClient_ = std::make_unique<dravenholt::sim::EngineClient>(*engine_);
    toBare_ = [this](const Bytes& request, uint8_t* reply, size_t capacity) {
        return bare_->exchange(request.data(), request.size(), reply, capacity);
    };
    toTransport_ = [this](const Bytes& request, uint8_t* reply, size_t capacity) {
        transport_->discardStale();
        if (transport_->write(request.data(), request.size()) != request.size())
            throw BenchError("the library's transport failed to write");
        return transport_->read(reply, capacity);
    };
    toEngine_ = [this](const Bytes& request, uint8_t* reply, size_t capacity) {
        std::vector<uint8_t> answer = engineClient_->process(request);
        if (answer.size() > capacity) throw BenchError("engine reply too long");
        std::memcpy(reply, answer.data(), answer.size());
        return answer.size();
    };
    bareHandles_ = replaySetup(tlsSetup, toBare_);
    transportHandles_ = replaySetup(tlsSetup, toTransport_);
    engineHandles_ = replaySetup(inProcessSetup, toEngine_);
    softhsmFixture_ = optionalFixture("SoftHSM2", paths.softhsm, "SOFTHSM2_CONF", softhsm_);
    p11kitFixture_ = optionalFixture("p11-kit remoting", paths.p11kitClient, "P11_KIT_SERVER_ADDRESS", p11kit_);
    if (paths.cannedReplies.empty())
        notes_.push_back("canned replies: not measured, no --canned-replies (scripts/bench.sh gives it)");
    else
        canned_ = connectCannedReplies(paths.cannedReplies, settings.timeoutMs);
}

Contenders::~Contenders() = default;

std::optional<Fixture> Contenders::optionalFixture(const std::string& name, const std::string& path,
                                                   const char* needsEnv, std::unique_ptr<Module>& module) {
    if (!std::getenv(needsEnv)) {
        notes_.push_back(name + ": not measured, " + needsEnv + " is not set (scripts/bench.sh sets it)");
        return std::nullopt;
    }
    try {
        module = Module::load(path);
        return prepareFixture(module->functions(), module->firstTokenSlot());
    } catch (const std::exception& e) {
        notes_.push_back(name + ": not measured, " + e.what());
        module.reset();
        return std::nullopt;
    }
}

std::vector<Exchange> Contenders::recorded(const std::function<void()>& work) {
    recorder_.start();
    try {
        work();
    } catch (...) {
        recorder_.stop();
        throw;
    }
    return recorder_.stop();
}

Fixture Contenders::recordedFixture(CK_FUNCTION_LIST* list, CK_SLOT_ID slot, std::vector<Exchange>& setup) {
    initialiseToken(list, slot);  // once for the token, not for every client
    Fixture fixture;
    setup = recorded([&] { fixture = prepareFixture(list, slot); });
    return fixture;
}

Figures Contenders::measure(const Operation& operation, int rounds, double seconds) {
    Figures figures;
    figures.operation = &operation;
    std::vector<Exchange> overTls = recorded([&] { operation.run(overTls_); });
    std::vector<Exchange> inProcess = recorded([&] { operation.run(inProcess_); });
    figures.deviceCalls = inProcess.size();

    std::optional<CannedReplay> canned;
    if (canned_) canned.emplace(overTls, *canned_);
    Replay floor(overTls, toBare_, bareHandles_);
    Replay transportAlone(std::move(overTls), toTransport_, transportHandles_);
    Replay engineAlone(std::move(inProcess), toEngine_, engineHandles_);

    std::vector<Contender> contenders;
    std::vector<Series Figures::*> columns;
    auto add = [&](const char* name, Series Figures::*column, std::function<void()> run) {
        contenders.push_back({name, std::move(run), {}, {}});
        columns.push_back(column);
    };
    if (canned) add("canned", &Figures::canned, [&] { canned->run(); });
    add("bare TLS", &Figures::bareTls, [&] { floor.run(); });
    add("transport", &Figures::transportAlone, [&] { transportAlone.run(); });
    add("orvo TLS", &Figures::orvoTls, [&] { operation.run(overTls_); });
    if (p11kitFixture_) add("p11-kit", &Figures::p11kitRemote, [&] { operation.run(*p11kitFixture_); });
    if (softhsmFixture_) add("SoftHSM2", &Figures::softhsmDirect, [&] { operation.run(*softhsmFixture_); });
    add("orvo in-process", &Figures::orvoInProcess, [&] { operation.run(inProcess_); });
    add("engine alone", &Figures::engineAlone, [&] { engineAlone.run(); });
    orvo_bench::measure(contenders, rounds, seconds);

    for (size_t i = 0; i < contenders.size(); ++i) {
        figures.*columns[i] = contenders[i].rates;
        if (!contenders[i].failure.empty())
            figures.notes.push_back(std::string(operation.name) + ", " + contenders[i].name + ": " +
                                    contenders[i].failure);
    }
    return figures;
}

}  // namespace orvo_bench
