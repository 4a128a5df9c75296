// The simulator's request handling: arbitrary requests to a token with PINs, objects and keys
// must never crash the engine, every answer must be a decodable response of at most 2048 bytes,
// and the state file the engine keeps must still load afterwards.
//
// Input: requests, each a 16-bit little-endian length and the request's bytes. Every input
// starts from the same stored token (initialisedToken below); sessions are not stored, so an input
// opens its own (the first gets handle 1). Key pair generations beyond the second are skipped.
#include <filesystem>
#include <functional>
#include <stdexcept>

#include <p11-kit/pkcs11.h>

#include "codec/codec.h"
#include "engine/engine.h"
#include "protocol/function_ids.h"
#include "support/fuzz_input.h"

using dravenholt::sim::Engine;
using dravenholt::sim::EngineOptions;
using dravenholt::wire::Bytes;
using dravenholt::wire::Request;
using fuzzin::require;

namespace {

namespace fn = dravenholt::fn;
using dravenholt::wire::Attribute;
using dravenholt::wire::Mechanism;
Attribute number(uint32_t type, uint32_t value) { return dravenholt::wire::numberAttribute(type, value); }
Attribute flag(uint32_t type, bool value) { return dravenholt::wire::flagAttribute(type, value); }
Attribute bytes(uint32_t type, const Bytes& value) { return dravenholt::wire::bytesAttribute(type, value); }

Bytes encoded(const Request& request) {
    Bytes out;
    std::string error;
    if (!dravenholt::wire::encodeRequest(request, out, 2048, &error)) throw std::runtime_error(error);
    return out;
}

// A request of `function` on `session` (none when 0), its other fields as `fill` sets them.
Request request(uint32_t function, uint32_t session = 0, const std::function<void(Request&)>& fill = {}) {
    Request r;
    r.function = function;
    if (session) r.session = session;
    if (fill) fill(r);
    return r;
}

// A fresh token with both PINs set, then the user logged in on RW session 1 with a token data
// object, an AES token key and an EC P-256 token key pair.
std::vector<Request> initialisedToken() {
    const Bytes soPin = {'s', 'o', 'p', 'i', 'n', '1', '2', '3'}, userPin = {'u', 's', 'e', 'r', '1', '2', '3', '4'};
    const Bytes p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    auto login = [](const Bytes& pin, uint32_t user) { return [&pin, user](Request& r) { r.data = pin, r.value = user; }; };
    return {
        request(fn::InitToken, 0, [&](Request& r) { r.data = soPin, r.data2 = Bytes(32, ' '); }),
        request(fn::OpenSession, 0, [](Request& r) { r.value = CKF_SERIAL_SESSION | CKF_RW_SESSION; }),
        request(fn::Login, 1, login(soPin, CKU_SO)),
        request(fn::InitPIN, 1, [&](Request& r) { r.data = userPin; }),
        request(fn::Logout, 1),
        request(fn::Login, 1, login(userPin, CKU_USER)),
        request(fn::CreateObject, 1, [](Request& r) {
            r.templ = {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, {'d', 'o', 'c'}),
                       bytes(CKA_VALUE, Bytes(40, 0x5A))};
        }),
        request(fn::GenerateKey, 1, [](Request& r) {
            r.mechanism = Mechanism{CKM_AES_KEY_GEN, {}, {}, {}, {}};
            r.templ = {number(CKA_VALUE_LEN, 32), flag(CKA_TOKEN, true), flag(CKA_ENCRYPT, true), flag(CKA_DECRYPT, true),
                       flag(CKA_WRAP, true), flag(CKA_UNWRAP, true), flag(CKA_EXTRACTABLE, true)};
        }),
        request(fn::GenerateKeyPair, 1, [&](Request& r) {
            r.mechanism = Mechanism{CKM_EC_KEY_PAIR_GEN, {}, {}, {}, {}};
            r.templ = {bytes(CKA_EC_PARAMS, p256), flag(CKA_TOKEN, true), flag(CKA_VERIFY, true)};
            r.templ2 = {flag(CKA_TOKEN, true), flag(CKA_SIGN, true), flag(CKA_DERIVE, true), bytes(CKA_LABEL, {'b', 't', 'c'}),
                        bytes(CKA_ID, {'b', 't', 'c'})};
        }),
    };
}

std::filesystem::path baseline;
std::filesystem::path working;

EngineOptions optionsFor(const std::filesystem::path& stateFile) {
    EngineOptions options;
    options.stateFile = stateFile;
    options.clock = [] { return int64_t{1000}; };  // no session ever times out mid-input
    return options;
}

// A 4096-bit RSA key pair takes the engine seconds under the sanitizers: an input may ask for a
// few, so that inputs stay fast and no run ends in a timeout that only measures key generation.
constexpr size_t kMaxKeyPairs = 2;

bool isKeyPairGeneration(const Bytes& request) {
    Request decoded;
    return dravenholt::wire::decodeRequest(request.data(), request.size(), decoded) &&
           decoded.function == fn::GenerateKeyPair;
}

dravenholt::wire::Response answerChecked(Engine& engine, const Bytes& request) {
    Bytes reply = engine.process(request);
    dravenholt::wire::Response response;
    require(reply.size() <= 2048, "a reply longer than 2048 bytes");
    require(dravenholt::wire::decodeResponse(reply.data(), reply.size(), response), "an undecodable reply");
    return response;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The engine makes every change durable with fsync: a memory file system keeps that cheap.
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::filesystem::path scratch = fuzzin::scratchDirectory("orvo-fuzz-engine", base);
    baseline = scratch / "baseline.state";
    working = scratch / "working.state";
    Engine engine(optionsFor(baseline));
    for (const Request& request : initialisedToken())
        require(answerChecked(engine, encoded(request)).rv == 0, "the stored token could not be prepared");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::filesystem::copy_file(baseline, working, std::filesystem::copy_options::overwrite_existing);
    {
        Engine engine(optionsFor(working));
        fuzzin::Input in(data, size);
        size_t keyPairs = 0;
        while (!in.empty()) {
            Bytes message = in.run();
            if (isKeyPairGeneration(message) && ++keyPairs > kMaxKeyPairs) continue;
            answerChecked(engine, message);
        }
        // The client leaves with whatever the input left open: sessions, operations, objects.
        engine.disconnect(Engine::kDefaultClient);
        answerChecked(engine, encoded(request(fn::GetTokenInfo)));
    }
    try {
        Engine reloaded(optionsFor(working));
        answerChecked(reloaded, encoded(request(fn::GetTokenInfo)));
    } catch (const dravenholt::sim::EngineError& e) {
        fuzzin::violated(e.what());
    }
    return 0;
}
