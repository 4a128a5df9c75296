// The Bitcoin key slot: one private EC key on secp256k1 with its chain code, made from a seed
// on import and never revealed; public keys and signatures come from keys derived along a path.
#include "admin_handlers.h"
#include "admin_hd_keys.h"
#include "attribute_rules.h"

namespace dravenholt::sim {
namespace {

const Bytes kKeyName = {'b', 't', 'c'};
const Bytes kSecp256k1 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x0A};

// The key the library's key test finds: a private EC token key labelled and identified "btc".
bool isBitcoinKey(const Object& o) {
    return o.objectClass() == CKO_PRIVATE_KEY && o.keyType() == CKK_EC && o.isToken() && o.isPrivate() &&
           o.bytes(CKA_LABEL) == kKeyName && o.bytes(CKA_ID) == kKeyName;
}

// The key is private: only the logged-in user reaches it.
Rv findKey(const Device& d, const Object*& out) {
    if (d.login() != Login::User) return CKR_USER_NOT_LOGGED_IN;
    for (const auto& [handle, stored] : d.objects.all()) {
        if (isBitcoinKey(stored.object)) {
            out = &stored.object;
            return CKR_OK;
        }
    }
    return kNoBitcoinKey;
}

// Big-endian 32-bit indices.
Rv readPath(const Request& req, std::vector<uint32_t>& path) {
    const Bytes empty;
    const Bytes& data = req.data ? *req.data : empty;
    if (data.size() % 4 != 0 || data.size() / 4 > kMaxPathDepth) return CKR_ARGUMENTS_BAD;
    for (size_t i = 0; i < data.size(); i += 4)
        path.push_back(uint32_t(data[i]) << 24 | uint32_t(data[i + 1]) << 16 | uint32_t(data[i + 2]) << 8 | data[i + 3]);
    return CKR_OK;
}

// The key at the request's path below the stored key.
Rv derivedKey(Device& d, const Request& req, ExtendedKey& out) {
    const Object* stored = nullptr;
    if (Rv rv = findKey(d, stored); rv != CKR_OK) return rv;
    std::vector<uint32_t> path;
    if (Rv rv = readPath(req, path); rv != CKR_OK) return rv;
    ExtendedKey master;
    master.key = stored->bytes(CKA_VALUE);
    master.chainCode = stored->bytes(kChainCodeAttribute);
    return derivePath(master, path, out);
}

Object keyObject(const ExtendedKey& master) {
    Object o;
    o.setNumber(CKA_CLASS, CKO_PRIVATE_KEY);
    o.setNumber(CKA_KEY_TYPE, CKK_EC);
    o.set(CKA_LABEL, kKeyName);
    o.set(CKA_ID, kKeyName);
    o.set(CKA_EC_PARAMS, kSecp256k1);
    o.set(CKA_VALUE, master.key);
    o.set(kChainCodeAttribute, master.chainCode);
    for (uint32_t on : {CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE}) o.setFlag(on, true);
    // Usable only through the slot's own calls, and never copied, changed or revealed.
    for (uint32_t off : {CKA_EXTRACTABLE, CKA_SIGN, CKA_SIGN_RECOVER, CKA_DECRYPT, CKA_UNWRAP, CKA_DERIVE,
                         CKA_MODIFIABLE, CKA_COPYABLE})
        o.setFlag(off, false);
    return o;
}

}  // namespace

// Field 4: a seed of 16 to 64 bytes, from which the master key and chain code are made.
Rv importBitcoinKey(Device& d, Session& s, const Request& req, Response&) {
    const Object* existing = nullptr;
    Rv rv = findKey(d, existing);
    if (rv == CKR_OK) return kBitcoinKeyExists;
    if (rv != kNoBitcoinKey) return rv;
    if (!req.data) return CKR_ARGUMENTS_BAD;
    ExtendedKey master;
    if (Rv made = masterKeyFromSeed(*req.data, master); made != CKR_OK) return made;
    Object o = keyObject(master);
    if (Rv completed = completeObject(o, Origin::Created); completed != CKR_OK) return completed;
    uint32_t handle = 0;
    return d.addObject(s, std::move(o), handle);
}

// Field 4 the path; the answer is the 33-byte compressed public key.
Rv bitcoinPublicKey(Device& d, Session&, const Request& req, Response& resp) {
    ExtendedKey key;
    if (Rv rv = derivedKey(d, req, key); rv != CKR_OK) return rv;
    Bytes publicKey;
    if (Rv rv = compressedPublicKey(key.key, publicKey); rv != CKR_OK) return rv;
    Rv rv = CKR_OK;
    deliver(req, resp, std::move(publicKey), rv);
    return rv;
}

// Field 4 the path, field 10 the 32-byte hash; the answer is r and s, 32 bytes each.
Rv signBitcoinHash(Device& d, Session&, const Request& req, Response& resp) {
    if (!req.data2) return CKR_ARGUMENTS_BAD;
    if (req.data2->size() != 32) return CKR_DATA_LEN_RANGE;
    ExtendedKey key;
    if (Rv rv = derivedKey(d, req, key); rv != CKR_OK) return rv;
    Bytes signature;
    if (Rv rv = signDigest(key.key, *req.data2, signature); rv != CKR_OK) return rv;
    Rv rv = CKR_OK;
    deliver(req, resp, std::move(signature), rv);
    return rv;
}

}  // namespace dravenholt::sim
