// bitcoin has, import, pub and sign. The key is private: each logs the user in.
#include "orvo-admin/bitcoin_path.h"
#include "orvo-admin/commands.h"
#include "orvo-admin/files.h"
#include "orvo-admin/token.h"
#include "orvo/admin.h"

namespace orvoadmin {
namespace {

constexpr size_t kSeedFileLimit = 4096;

uint32_t handleOf(const Session& session) { return static_cast<uint32_t>(session.handle()); }

// The path array the library converts in place: a fresh one for every call, never null (the
// master key's path is empty).
struct PathArray {
    explicit PathArray(const std::string& text) : indices(parsePath(text)) { indices.reserve(1); }
    uint32_t* data() { return indices.data(); }
    uint64_t count() const { return indices.size(); }
    std::vector<uint32_t> indices;
};

}  // namespace

int bitcoinHasCommand(Invocation& inv) {
    Library library;
    Token token(inv);
    Session user(inv, token, Session::User::Normal, false);
    uint32_t key = 0;
    uint32_t rv = u32HasBitcoinKey(handleOf(user), &key);
    if (rv != ORVO_NO_BITCOIN_KEY) check(rv, "cannot look for the Bitcoin key");
    bool has = rv == CKR_OK;
    emit(inv, {{"slot", inv.slot}, {"hasKey", has}},
         has ? "slot " + std::to_string(inv.slot) + " holds a Bitcoin key"
             : "slot " + std::to_string(inv.slot) + " holds no Bitcoin key");
    return kSuccess;
}

// The seed comes from a file as hexadecimal text (16 to 64 bytes), never from the command line.
int bitcoinImportCommand(Invocation& inv) {
    const std::string& path = inv.words.at(0);
    Bytes text = readFile(path, kSeedFileLimit);
    Bytes seed = fromHex(std::string(text.begin(), text.end()), "the seed in " + path);
    std::fill(text.begin(), text.end(), 0);
    Library library;
    Token token(inv);
    Session user(inv, token, Session::User::Normal, true);
    uint32_t rv = u32ImportBitcoinKey(handleOf(user), seed.data(), seed.size());
    std::fill(seed.begin(), seed.end(), 0);
    check(rv, "the import failed");
    emit(inv, {{"slot", inv.slot}, {"imported", true}}, "the Bitcoin key is imported");
    return kSuccess;
}

int bitcoinPubCommand(Invocation& inv) {
    PathArray path(inv.words.at(0));
    Library library;
    Token token(inv);
    Session user(inv, token, Session::User::Normal, false);
    Bytes key(65);
    uint64_t length = key.size();
    check(u32GetBitcoinPub(handleOf(user), path.data(), path.count(), key.data(), &length),
          "cannot derive the public key");
    key.resize(length);
    emit(inv, {{"slot", inv.slot}, {"path", inv.words[0]}, {"publicKey", toHex(key)}}, toHex(key));
    return kSuccess;
}

int bitcoinSignCommand(Invocation& inv) {
    PathArray path(inv.words.at(0));
    Bytes hash = fromHex(inv.words.at(1), "the hash");
    Library library;
    Token token(inv);
    Session user(inv, token, Session::User::Normal, false);
    Bytes signature(72);
    uint64_t length = signature.size();
    check(u32SignBitcoinHash(handleOf(user), hash.data(), hash.size(), path.data(), path.count(), signature.data(),
                             &length),
          "cannot sign the hash");
    signature.resize(length);
    emit(inv, {{"slot", inv.slot}, {"path", inv.words[0]}, {"hash", toHex(hash)}, {"signature", toHex(signature)}},
         toHex(signature));
    return kSuccess;
}

}  // namespace orvoadmin
