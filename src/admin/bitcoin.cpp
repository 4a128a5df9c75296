// The Bitcoin key slot: the key test, import, public key derivation and hash signing. The
// device derives along the path; the library sends the path in big-endian byte order.
#include <cstring>

#include "admin/admin_call.h"
#include "token/operations.h"
#include "protocol/function_ids.h"

using namespace dravenholt;
using namespace dravenholt::admin;

namespace {

// A path longer than this cannot fit one request.
constexpr uint64_t kMaxPathElements = 2048 / 4;

// The key test: searches with the whole key template (a private EC token key labelled and
// identified "btc"), so that no other private key of the token passes for the Bitcoin key.
CK_RV keyTest(Context& context, CK_SESSION_HANDLE session, uint32_t* keyHandle) {
    Entry entry(context, "u32HasBitcoinKey");
    if (entry.rv() != CKR_OK) return entry.rv();
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_EC;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE name[] = {'b', 't', 'c'};
    CK_ATTRIBUTE keyTemplate[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_LABEL, name, sizeof name},
        {CKA_ID, name, sizeof name},             {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},         {CKA_KEY_TYPE, &keyType, sizeof keyType},
    };
    if (CK_RV rv = ops::C_FindObjectsInit(context, session, keyTemplate, 6); rv != CKR_OK) return rv;
    CK_OBJECT_HANDLE found = 0;
    CK_ULONG count = 0;
    CK_RV rv = ops::C_FindObjects(context, session, &found, 1, &count);
    if (rv == CKR_OK && count == 0) rv = ORVO_NO_BITCOIN_KEY;
    if (rv == CKR_OK && keyHandle) *keyHandle = static_cast<uint32_t>(found);
    ops::C_FindObjectsFinal(context, session);
    return rv;
}

CK_RV importKey(Context& context, CK_SESSION_HANDLE session, const uint8_t* key, uint64_t keyLength) {
    Entry entry(context, "u32ImportBitcoinKey");
    entry.check(key && keyLength != 0).check(lengthFitsWire(keyLength), CKR_DATA_LEN_RANGE);
    if (entry.rv() != CKR_OK) return entry.rv();
    CK_RV test = keyTest(context, session, nullptr);
    if (test == CKR_OK) return ORVO_BITCOIN_KEY_EXISTS;
    if (test != ORVO_NO_BITCOIN_KEY) return test;
    return entry.session(session, fn::ImportBitcoinKey, [&](DeviceCall& call) {
        call.data(key, keyLength);
        return call.run(context);
    });
}

// Each element in big-endian byte order, in place: the caller's array stays converted.
void toBigEndian(uint32_t* path, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t v = path[i];
        const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                                  static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        std::memcpy(&path[i], bytes, sizeof bytes);
    }
}

// The converted path in field 4 and the output capacity in field 11; the reply's bytes go into
// `output`, and on success their number into *outputLength.
CK_RV sendWithPath(Context& context, DeviceCall& call, uint32_t* path, uint64_t count, uint8_t* output,
                   uint64_t* outputLength) {
    toBigEndian(path, count);
    const uint32_t capacity = wireCapacity(*outputLength);
    call.data(path, count * 4).length(capacity).output(output, capacity);
    CK_ULONG received = 0;
    CK_RV rv = call.runReporting(context, &received, false);
    if (rv == CKR_OK) *outputLength = received;
    return rv;
}

CK_RV publicKey(Context& context, CK_SESSION_HANDLE session, uint32_t* path, uint64_t count, uint8_t* output,
                uint64_t* outputLength) {
    Entry entry(context, "u32GetBitcoinPub");
    entry.check(path && output && outputLength && *outputLength != 0);
    entry.check(count <= kMaxPathElements, CKR_DATA_LEN_RANGE);
    return entry.session(session, fn::GetBitcoinPub, [&](DeviceCall& call) {
        return sendWithPath(context, call, path, count, output, outputLength);
    });
}

CK_RV signHash(Context& context, CK_SESSION_HANDLE session, const uint8_t* hash, uint64_t hashLength,
               uint32_t* path, uint64_t count, uint8_t* signature, uint64_t* signatureLength) {
    Entry entry(context, "u32SignBitcoinHash");
    entry.check(path && hash && signature && signatureLength && *signatureLength != 0 && hashLength != 0);
    entry.check(count <= kMaxPathElements && lengthFitsWire(hashLength), CKR_DATA_LEN_RANGE);
    return entry.session(session, fn::SignBitcoinHash, [&](DeviceCall& call) {
        call.data2(hash, hashLength);
        return sendWithPath(context, call, path, count, signature, signatureLength);
    });
}

}  // namespace

ORVO_EXPORT uint32_t u32HasBitcoinKey(uint32_t session, uint32_t* keyHandle) {
    return exported([&] { return keyTest(getContext(), session, keyHandle); });
}

ORVO_EXPORT uint32_t u32ImportBitcoinKey(uint32_t session, const uint8_t* key, uint64_t keyLength) {
    return exported([&] { return importKey(getContext(), session, key, keyLength); });
}

ORVO_EXPORT uint32_t u32GetBitcoinPub(uint32_t session, uint32_t* path, uint64_t count, uint8_t* output,
                                      uint64_t* outputLength) {
    return exported([&] { return publicKey(getContext(), session, path, count, output, outputLength); });
}

ORVO_EXPORT uint32_t u32SignBitcoinHash(uint32_t session, const uint8_t* hash, uint64_t hashLength,
                                        uint32_t* path, uint64_t count, uint8_t* signature,
                                        uint64_t* signatureLength) {
    return exported([&] {
        return signHash(getContext(), session, hash, hashLength, path, count, signature, signatureLength);
    });
}
