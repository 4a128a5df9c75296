// The simulator's request handling: arbitrary requests to a token with PINs, objects and keys
// must never crash the engine, every answer must be a decodable response of at most 2048 bytes,
// and the state file the engine keeps must still load afterwards.
//
// Input: requests, each a 16-bit little-endian length and the request's bytes. Every input
// starts from the same stored token (initialisedToken below); sessions are not stored, so an input
// opens its own (the first gets handle 1). Key pair generations beyond the second are skipped.
#include <filesystem>
#include <stdexcept>

#include <p11-kit/pkcs11.h>

#include "codec/codec.h"
#include "engine/engine.h"
#include "protocol/function_ids.h"
#include "support/fuzz_input.h"
#include "support/scratch.h"

using dravenholt::sim::Engine;
using dravenholt::sim::EngineOptions;
using dravenholt::wire::Bytes;
using dravenholt::wire::Request;
using fuzzin::require;

namespace {

namespace fn = dravenholt::fn;
using dravenholt::wire::Attribute;
Attribute number(uint32_t type, uint32_t value) { return dravenholt::wire::numberAttribute(type, value); }
Attribute flag(uint32_t type, bool value) { return dravenholt::wire::flagAttribute(type, value); }
Attribute bytes(uint32_t type, const Bytes& value) { return dravenholt::wire::bytesAttribute(type, value); }

const Bytes kSoPin = {'s', 'o', 'p', 'i', 'n', '1', '2', '3'};
const Bytes kUserPin = {'u', 's', 'e', 'r', '1', '2', '3', '4'};

Request call(uint32_t function, uint32_t session = 0) {
    Request r;
    r.function = function;
    if (session) r.session = session;
    return r;
}

Bytes encoded(const Request& request) {
    Bytes out;
    std::string error;
    if (!dravenholt::wire::encodeRequest(request, out, 2048, &error)) throw std::runtime_error(error);
    return out;
}

// A fresh token with both PINs set, then the user logged in on RW session 1 with a token data
// object, an AES token key and an EC P-256 token key pair.
std::vector<Request> initialisedToken() {
    std::vector<Request> out;
    Request init = call(fn::InitToken);
    init.data = kSoPin;
    init.data2 = Bytes(32, ' ');
    out.push_back(init);
    Request open = call(fn::OpenSession);
    open.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    out.push_back(open);
    Request so = call(fn::Login, 1);
    so.value = CKU_SO;
    so.data = kSoPin;
    out.push_back(so);
    Request initPin = call(fn::InitPIN, 1);
    initPin.data = kUserPin;
    out.push_back(initPin);
    out.push_back(call(fn::Logout, 1));
    Request user = so;
    user.value = CKU_USER;
    user.data = kUserPin;
    out.push_back(user);

    Request data = call(fn::CreateObject, 1);
    data.templ = {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, {'d', 'o', 'c'}),
                  bytes(CKA_VALUE, Bytes(40, 0x5A))};
    out.push_back(data);
    Request aes = call(fn::GenerateKey, 1);
    aes.mechanism = dravenholt::wire::Mechanism{CKM_AES_KEY_GEN, {}, {}, {}, {}};
    aes.templ = {number(CKA_VALUE_LEN, 32), flag(CKA_TOKEN, true), flag(CKA_ENCRYPT, true),
                 flag(CKA_DECRYPT, true), flag(CKA_WRAP, true), flag(CKA_UNWRAP, true),
                 flag(CKA_EXTRACTABLE, true)};
    out.push_back(aes);
    static const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    Request ec = call(fn::GenerateKeyPair, 1);
    ec.mechanism = dravenholt::wire::Mechanism{CKM_EC_KEY_PAIR_GEN, {}, {}, {}, {}};
    ec.templ = {bytes(CKA_EC_PARAMS, kP256), flag(CKA_TOKEN, true), flag(CKA_VERIFY, true)};
    ec.templ2 = {flag(CKA_TOKEN, true), flag(CKA_SIGN, true), flag(CKA_DERIVE, true),
                 bytes(CKA_LABEL, {'b', 't', 'c'}), bytes(CKA_ID, {'b', 't', 'c'})};
    out.push_back(ec);
    return out;
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

bool isKeyPairGeneration(const std::vector<uint8_t>& request) {
    dravenholt::wire::Request decoded;
    return dravenholt::wire::decodeRequest(request.data(), request.size(), decoded) &&
           decoded.function == dravenholt::fn::GenerateKeyPair;
}

void answerChecked(Engine& engine, const std::vector<uint8_t>& request) {
    std::vector<uint8_t> reply = engine.process(request);
    dravenholt::wire::Response response;
    require(reply.size() <= 2048, "a reply longer than 2048 bytes");
    require(dravenholt::wire::decodeResponse(reply.data(), reply.size(), response), "an undecodable reply");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The engine makes every change durable with fsync: a memory file system keeps that cheap.
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::filesystem::path scratch = fuzzin::scratchDirectory("orvo-fuzz-engine", base);
    baseline = scratch / "baseline.state";
    working = scratch / "working.state";
    Engine engine(optionsFor(baseline));
    for (const auto& request : initialisedToken()) {
        dravenholt::wire::Response response;
        std::vector<uint8_t> reply = engine.process(encoded(request));
        require(dravenholt::wire::decodeResponse(reply.data(), reply.size(), response) && response.rv == 0,
                "the stored token could not be prepared");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::filesystem::copy_file(baseline, working, std::filesystem::copy_options::overwrite_existing);
    {
        Engine engine(optionsFor(working));
        fuzzin::Input in(data, size);
        size_t keyPairs = 0;
        while (!in.empty()) {
            std::vector<uint8_t> request = in.run();
            if (isKeyPairGeneration(request) && ++keyPairs > kMaxKeyPairs) continue;
            answerChecked(engine, request);
        }
        // The client leaves with whatever the input left open: sessions, operations, objects.
        engine.disconnect(Engine::kDefaultClient);
        answerChecked(engine, encoded(call(dravenholt::fn::GetTokenInfo)));
    }
    try {
        Engine reloaded(optionsFor(working));
        answerChecked(reloaded, encoded(call(dravenholt::fn::GetTokenInfo)));
    } catch (const dravenholt::sim::EngineError& e) {
        fuzzin::violated(e.what());
    }
    return 0;
}
