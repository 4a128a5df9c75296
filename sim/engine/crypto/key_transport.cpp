// The plain form of a key when it is wrapped: a secret key's value, or a private key as a
// PKCS#8 PrivateKeyInfo.
#include "crypto/crypto.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

int pkeyType(uint32_t keyType) {
    switch (keyType) {
    case CKK_RSA: return EVP_PKEY_RSA;
    case CKK_EC: return EVP_PKEY_EC;
    case CKK_DSA: return EVP_PKEY_DSA;
    default: return EVP_PKEY_NONE;
    }
}

}  // namespace

Rv exportKey(const Object& key, Bytes& out) {
    if (key.objectClass() == CKO_SECRET_KEY) {
        out = key.bytes(CKA_VALUE);
        return CKR_OK;
    }
    if (key.objectClass() != CKO_PRIVATE_KEY || pkeyType(key.keyType()) == EVP_PKEY_NONE) return CKR_KEY_NOT_WRAPPABLE;
    ossl::SharedKey pkey;
    if (Rv rv = loadKey(key, pkey); rv != CKR_OK) return rv;
    ossl::Pkcs8 info(EVP_PKEY2PKCS8(pkey.get()));
    unsigned char* encoded = nullptr;
    int length = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &encoded) : -1;
    ossl::Der der(encoded);
    if (length <= 0) return CKR_DEVICE_ERROR;
    out.assign(der.get(), der.get() + length);
    OPENSSL_cleanse(der.get(), size_t(length));
    return CKR_OK;
}

Rv importKey(const Bytes& in, Object& key) {
    if (key.objectClass() == CKO_SECRET_KEY) {
        Bytes value = in;
        // Unpadded block modes leave trailing bytes; the template's length says what to keep.
        if (key.has(CKA_VALUE_LEN) && key.number(CKA_VALUE_LEN) < value.size())
            value.resize(key.number(CKA_VALUE_LEN));
        key.set(CKA_VALUE, std::move(value));
        Rv rv = checkKeyMaterial(key);
        return rv == CKR_OK ? rv : CKR_WRAPPED_KEY_INVALID;
    }
    // PKCS#8, or the bare PKCS#1 and SEC1 forms.
    const unsigned char* p = in.data();
    ossl::Pkey pkey(d2i_AutoPrivateKey(nullptr, &p, long(in.size())));
    if (!pkey || p != in.data() + in.size() || EVP_PKEY_get_base_id(pkey.get()) != pkeyType(key.keyType()))
        return CKR_WRAPPED_KEY_INVALID;
    if (Rv rv = storeKey(pkey.get(), key.keyType(), nullptr, &key); rv != CKR_OK) return CKR_WRAPPED_KEY_INVALID;
    if (key.keyType() == CKK_EC && !key.has(CKA_EC_PARAMS)) return CKR_CURVE_NOT_SUPPORTED;
    return checkKeyMaterial(key) == CKR_OK ? CKR_OK : CKR_WRAPPED_KEY_INVALID;
}

}  // namespace dravenholt::sim
