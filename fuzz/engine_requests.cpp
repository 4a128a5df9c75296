// The simulator's request handling: arbitrary requests to a token with PINs, objects and keys
// must never crash the engine, every answer must be a decodable response of at most 2048 bytes,
// and the state file the engine keeps must still load afterwards.
//
// Input: requests, each a 16-bit little-endian length and the request's bytes. Every input
// starts from the same stored token (initialisedToken below); sessions are not stored, so an input
// opens its own (the first gets handle 1). Key pair generations beyond the second are skipped.
#include <filesystem>

#include "call.h"
#include "engine/engine.h"
#include "support/fuzz_input.h"

using dravenholt::sim::Engine;
using dravenholt::sim::EngineOptions;
using fuzzin::require;
using namespace simtest;

namespace {

// A fresh token with both PINs set, then the user logged in on RW session 1 with a token data
// object, an AES token key and an EC P-256 token key pair.
std::vector<Request> initialisedToken() {
    const Bytes p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    return {
        Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' ')).r,
        Call(fn::OpenSession).value(CKF_SERIAL_SESSION | CKF_RW_SESSION).r,
        Call(fn::Login, 1).value(CKU_SO).data(kSoPin).r,
        Call(fn::InitPIN, 1).data(kUserPin).r,
        Call(fn::Logout, 1).r,
        Call(fn::Login, 1).value(CKU_USER).data(kUserPin).r,
        Call(fn::CreateObject, 1)
            .templ({num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, toBytes("doc")),
                    bytes(CKA_VALUE, Bytes(40, 0x5A))})
            .r,
        Call(fn::GenerateKey, 1)
            .mech(Mechanism{CKM_AES_KEY_GEN, {}, {}, {}, {}})
            .templ({num(CKA_VALUE_LEN, 32), flag(CKA_TOKEN, true), flag(CKA_ENCRYPT, true), flag(CKA_DECRYPT, true),
                    flag(CKA_WRAP, true), flag(CKA_UNWRAP, true), flag(CKA_EXTRACTABLE, true)})
            .r,
        Call(fn::GenerateKeyPair, 1)
            .mech(Mechanism{CKM_EC_KEY_PAIR_GEN, {}, {}, {}, {}})
            .templ({bytes(CKA_EC_PARAMS, p256), flag(CKA_TOKEN, true), flag(CKA_VERIFY, true)})
            .templ2({flag(CKA_TOKEN, true), flag(CKA_SIGN, true), flag(CKA_DERIVE, true),
                     bytes(CKA_LABEL, toBytes("btc")), bytes(CKA_ID, toBytes("btc"))})
            .r,
    };
}

std::filesystem::path baseline, working;

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
        answerChecked(engine, encoded(Call(fn::GetTokenInfo).r));
    }
    try {
        Engine reloaded(optionsFor(working));
        answerChecked(reloaded, encoded(Call(fn::GetTokenInfo).r));
    } catch (const dravenholt::sim::EngineError& e) {
        require(false, e.what());
    }
    return 0;
}
