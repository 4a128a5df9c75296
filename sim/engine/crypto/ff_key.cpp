// DSA and Diffie-Hellman keys over a prime field: the domain (prime, DSA's subprime, base)
// and the key's value, checked and turned into OpenSSL keys.
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

struct Domain {
    ossl::Bn p, q, g;
};

bool isDsa(uint32_t keyType) { return keyType == CKK_DSA; }
const char* typeName(uint32_t keyType) { return isDsa(keyType) ? "DSA" : "DH"; }

// 1 < v < top
bool between(const BIGNUM* v, const BIGNUM* top) {
    return v && !BN_is_zero(v) && !BN_is_one(v) && BN_cmp(v, top) < 0;
}

// The pushes for the domain of a key of this type.
bool pushDomain(OSSL_PARAM_BLD* build, const Domain& d, uint32_t keyType) {
    return OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_P, d.p.get()) == 1 &&
           (!isDsa(keyType) || OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_Q, d.q.get()) == 1) &&
           OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_G, d.g.get()) == 1;
}

Rv readDomain(const Object& o, uint32_t keyType, Domain& d) {
    if (!o.has(CKA_PRIME) || !o.has(CKA_BASE) || (isDsa(keyType) && !o.has(CKA_SUBPRIME))) return CKR_TEMPLATE_INCOMPLETE;
    d.p = ossl::bnFrom(o.bytes(CKA_PRIME));
    d.g = ossl::bnFrom(o.bytes(CKA_BASE));
    if (!d.p || !d.g) return CKR_ATTRIBUTE_VALUE_INVALID;
    int bits = BN_num_bits(d.p.get());
    if (bits < kMinFieldBits || bits > kMaxFieldBits) return CKR_KEY_SIZE_RANGE;
    if (!BN_is_odd(d.p.get()) || !between(d.g.get(), d.p.get())) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (isDsa(keyType)) {
        d.q = ossl::bnFrom(o.bytes(CKA_SUBPRIME));
        int qbits = d.q ? BN_num_bits(d.q.get()) : 0;
        if (qbits != 160 && qbits != 224 && qbits != 256) return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return CKR_OK;
}

}  // namespace

Rv parseDomain(const Object& o, uint32_t keyType, ossl::Pkey& out) {
    Domain d;
    if (Rv rv = readDomain(o, keyType, d); rv != CKR_OK) return rv;
    ossl::ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build || !pushDomain(build.get(), d, keyType)) return CKR_DEVICE_MEMORY;
    ossl::Params params(OSSL_PARAM_BLD_to_param(build.get()));
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, typeName(keyType), nullptr));
    EVP_PKEY* made = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &made, EVP_PKEY_KEY_PARAMETERS, params.get()) != 1)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    out.reset(made);
    return CKR_OK;
}

Rv parseFiniteField(const Object& key, ossl::Pkey& out) {
    uint32_t type = key.keyType();
    Domain d;
    if (Rv rv = readDomain(key, type, d); rv != CKR_OK) return rv == CKR_KEY_SIZE_RANGE ? CKR_ATTRIBUTE_VALUE_INVALID : rv;
    ossl::Bn value = ossl::bnFrom(key.bytes(CKA_VALUE));
    bool priv = key.objectClass() == CKO_PRIVATE_KEY;
    // A DSA private value lies below q; every other value between 1 and p - 1.
    ossl::Bn top(BN_dup(isDsa(type) && priv ? d.q.get() : d.p.get()));
    if (!top || (!(isDsa(type) && priv) && !BN_sub_word(top.get(), 1))) return CKR_DEVICE_MEMORY;
    if (!value || BN_is_zero(value.get()) || (!(isDsa(type) && priv) && BN_is_one(value.get())) ||
        BN_cmp(value.get(), top.get()) >= 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    ossl::ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build || !pushDomain(build.get(), d, type)) return CKR_DEVICE_MEMORY;
    if (priv) {
        ossl::Bn y(BN_new());
        ossl::BnCtx ctx(BN_CTX_new());
        if (!y || !ctx || !BN_mod_exp(y.get(), d.g.get(), value.get(), d.p.get(), ctx.get()) ||
            OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, value.get()) != 1 ||
            OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PUB_KEY, y.get()) != 1)
            return CKR_DEVICE_MEMORY;
        return keyFromParams(typeName(type), build.get(), true, out);
    }
    if (OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PUB_KEY, value.get()) != 1) return CKR_DEVICE_MEMORY;
    return keyFromParams(typeName(type), build.get(), false, out);
}

Rv checkFiniteField(Object& key) {
    if (!key.has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
    ossl::Pkey pkey;
    if (Rv rv = parseFiniteField(key, pkey); rv != CKR_OK) return rv;
    key.keepParsedKey(ossl::share(std::move(pkey)));
    return CKR_OK;
}

void storeDomain(EVP_PKEY* pkey, uint32_t keyType, Object& o) {
    o.set(CKA_PRIME, ossl::keyNumber(pkey, OSSL_PKEY_PARAM_FFC_P));
    if (isDsa(keyType)) o.set(CKA_SUBPRIME, ossl::keyNumber(pkey, OSSL_PKEY_PARAM_FFC_Q));
    o.set(CKA_BASE, ossl::keyNumber(pkey, OSSL_PKEY_PARAM_FFC_G));
}

void storeFiniteField(EVP_PKEY* pkey, uint32_t keyType, Object* pub, Object* priv) {
    if (pub) {
        storeDomain(pkey, keyType, *pub);
        pub->set(CKA_VALUE, ossl::keyNumber(pkey, OSSL_PKEY_PARAM_PUB_KEY));
    }
    if (priv) {
        storeDomain(pkey, keyType, *priv);
        priv->set(CKA_VALUE, ossl::keyNumber(pkey, OSSL_PKEY_PARAM_PRIV_KEY));
    }
}

}  // namespace dravenholt::sim
