// The simulator's request handling: arbitrary requests to a token with PINs, objects and keys
// must never crash the engine, every answer must be a decodable response of at most 2048 bytes,
// and the state file the engine keeps must still load afterwards.
//
// Input: requests, each a 16-bit little-endian length and the request's bytes. Every input
// starts from the same stored token (see token_requests.h); sessions are not stored, so an input
// opens its own (the first gets handle 1). Key pair generations beyond the second are skipped.
#include <filesystem>

#include "codec/codec.h"
#include "engine/engine.h"
#include "protocol/function_ids.h"
#include "support/fuzz_input.h"
#include "support/scratch.h"
#include "support/token_requests.h"

using dravenholt::sim::Engine;
using dravenholt::sim::EngineOptions;
using fuzzin::require;

namespace {

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
    for (const auto& request : fuzzreq::initialisedToken()) {
        dravenholt::wire::Response response;
        std::vector<uint8_t> reply = engine.process(fuzzreq::encoded(request));
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
        answerChecked(engine, fuzzreq::encoded(fuzzreq::call(dravenholt::fn::GetTokenInfo)));
    }
    try {
        Engine reloaded(optionsFor(working));
        answerChecked(reloaded, fuzzreq::encoded(fuzzreq::call(dravenholt::fn::GetTokenInfo)));
    } catch (const dravenholt::sim::EngineError& e) {
        fuzzin::violated(e.what());
    }
    return 0;
}
