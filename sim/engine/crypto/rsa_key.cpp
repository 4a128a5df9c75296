// RSA key material: the numbers of an object, completed (the primes from n, e and d, the CRT
// values from the primes) and checked, and an OpenSSL key with all of them for fast signing.
#include <array>

#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

struct RsaPart {
    uint32_t attribute;
    const char* param;
};
// In the order of the fields of RsaParts.
constexpr RsaPart kParts[] = {
    {CKA_MODULUS, OSSL_PKEY_PARAM_RSA_N},           {CKA_PUBLIC_EXPONENT, OSSL_PKEY_PARAM_RSA_E},
    {CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D},  {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
    {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},     {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
    {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2}, {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1},
};
constexpr size_t kPublicParts = 2;

enum Part { N, E, D, P, Q, DP, DQ, QINV };
using RsaParts = std::array<ossl::Bn, std::size(kParts)>;

// p and q from n, e and d: d e - 1 = 2^t r with r odd; for most g some g^(2^i r) is a
// square root of 1 other than +-1, and shares a factor with n.
bool deducePrimes(RsaParts& k, BN_CTX* ctx) {
    ossl::Bn r(BN_new()), y(BN_new()), x(BN_new()), nMinus1(BN_dup(k[N].get())), g(BN_new());
    if (!r || !y || !x || !nMinus1 || !g || !BN_mul(r.get(), k[D].get(), k[E].get(), ctx) || !BN_sub_word(r.get(), 1) ||
        !BN_sub_word(nMinus1.get(), 1))
        return false;
    int t = 0;
    while (!BN_is_zero(r.get()) && !BN_is_bit_set(r.get(), 0)) {
        BN_rshift1(r.get(), r.get());
        ++t;
    }
    if (t == 0) return false;
    for (BN_ULONG base = 2; base < 100; ++base) {
        if (!BN_set_word(g.get(), base) || !BN_mod_exp(y.get(), g.get(), r.get(), k[N].get(), ctx)) return false;
        if (BN_is_one(y.get()) || BN_cmp(y.get(), nMinus1.get()) == 0) continue;
        for (int i = 0; i < t; ++i) {
            if (!BN_mod_sqr(x.get(), y.get(), k[N].get(), ctx)) return false;
            if (BN_is_one(x.get())) {
                k[P].reset(BN_new());
                k[Q].reset(BN_new());
                ossl::Bn rem(BN_new());
                return k[P] && k[Q] && rem && BN_sub_word(y.get(), 1) && BN_gcd(k[P].get(), y.get(), k[N].get(), ctx) &&
                       BN_div(k[Q].get(), rem.get(), k[N].get(), k[P].get(), ctx) && BN_is_zero(rem.get());
            }
            if (BN_cmp(x.get(), nMinus1.get()) == 0) break;
            std::swap(x, y);
        }
    }
    return false;
}

// Whether d e = 1 modulo m - 1.
bool inverseModMinusOne(const RsaParts& k, const BIGNUM* m, BN_CTX* ctx) {
    ossl::Bn m1(BN_dup(m)), de(BN_new()), rem(BN_new());
    return m1 && de && rem && BN_sub_word(m1.get(), 1) && BN_mul(de.get(), k[D].get(), k[E].get(), ctx) &&
           BN_mod(rem.get(), de.get(), m1.get(), ctx) && BN_is_one(rem.get());
}

// Completes a private key and checks that its numbers belong together.
bool completePrivate(RsaParts& k) {
    ossl::BnCtx ctx(BN_CTX_new());
    if (!ctx || BN_is_zero(k[D].get()) || BN_cmp(k[D].get(), k[N].get()) >= 0) return false;
    if ((!k[P] || !k[Q]) && !deducePrimes(k, ctx.get())) return false;
    ossl::Bn pq(BN_new()), p1(BN_dup(k[P].get())), q1(BN_dup(k[Q].get()));
    k[DP].reset(BN_new());
    k[DQ].reset(BN_new());
    if (!pq || !p1 || !q1 || !k[DP] || !k[DQ] || !BN_mul(pq.get(), k[P].get(), k[Q].get(), ctx.get()) ||
        BN_cmp(pq.get(), k[N].get()) != 0 || !inverseModMinusOne(k, k[P].get(), ctx.get()) ||
        !inverseModMinusOne(k, k[Q].get(), ctx.get()) || !BN_sub_word(p1.get(), 1) || !BN_sub_word(q1.get(), 1) ||
        !BN_mod(k[DP].get(), k[D].get(), p1.get(), ctx.get()) || !BN_mod(k[DQ].get(), k[D].get(), q1.get(), ctx.get()))
        return false;
    k[QINV].reset(BN_mod_inverse(nullptr, k[Q].get(), k[P].get(), ctx.get()));
    return k[QINV] != nullptr;
}

Rv readParts(const Object& key, RsaParts& k) {
    bool priv = key.objectClass() == CKO_PRIVATE_KEY;
    for (size_t i = 0; i < (priv ? std::size(kParts) : kPublicParts); ++i)
        k[i] = ossl::bnFrom(key.bytes(kParts[i].attribute));
    if (!k[N] || !k[E] || (priv && !k[D])) return CKR_TEMPLATE_INCOMPLETE;
    int bits = BN_num_bits(k[N].get());
    if (bits < 1024 || bits > 4096) return CKR_ATTRIBUTE_VALUE_INVALID;
    bool publicOk = BN_is_odd(k[N].get()) && BN_is_odd(k[E].get()) && !BN_is_one(k[E].get()) &&
                    BN_cmp(k[E].get(), k[N].get()) < 0;
    if (!publicOk || (priv && !completePrivate(k))) return CKR_ATTRIBUTE_VALUE_INVALID;
    return CKR_OK;
}

Rv build(RsaParts& k, bool priv, ossl::Pkey& out) {
    ossl::ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build) return CKR_DEVICE_MEMORY;
    for (size_t i = 0; i < (priv ? std::size(kParts) : kPublicParts); ++i)
        if (OSSL_PARAM_BLD_push_BN(build.get(), kParts[i].param, k[i].get()) != 1) return CKR_DEVICE_MEMORY;
    return keyFromParams("RSA", build.get(), priv, out);
}

}  // namespace

Rv parseRsa(const Object& key, ossl::Pkey& out) {
    RsaParts parts;
    Rv rv = readParts(key, parts);
    if (rv == CKR_TEMPLATE_INCOMPLETE) rv = CKR_ATTRIBUTE_VALUE_INVALID;
    return rv == CKR_OK ? build(parts, key.objectClass() == CKO_PRIVATE_KEY, out) : rv;
}

Rv checkRsa(Object& key) {
    RsaParts parts;
    if (Rv rv = readParts(key, parts); rv != CKR_OK) return rv;
    bool priv = key.objectClass() == CKO_PRIVATE_KEY;
    ossl::Pkey pkey;
    if (Rv rv = build(parts, priv, pkey); rv != CKR_OK) return rv;
    if (priv) {
        for (size_t i = 0; i < std::size(kParts); ++i) key.set(kParts[i].attribute, ossl::bnBytes(parts[i].get()));
    } else {
        uint32_t bits = uint32_t(BN_num_bits(parts[N].get()));
        if (key.has(CKA_MODULUS_BITS) && key.number(CKA_MODULUS_BITS) != bits) return CKR_TEMPLATE_INCONSISTENT;
        key.setNumber(CKA_MODULUS_BITS, bits);
    }
    key.keepParsedKey(ossl::share(std::move(pkey)));
    return CKR_OK;
}

void storeRsa(EVP_PKEY* pkey, Object* pub, Object* priv) {
    if (pub) {
        for (size_t i = 0; i < kPublicParts; ++i) pub->set(kParts[i].attribute, ossl::keyNumber(pkey, kParts[i].param));
        if (pub->objectClass() == CKO_PUBLIC_KEY) pub->setNumber(CKA_MODULUS_BITS, uint32_t(EVP_PKEY_get_bits(pkey)));
    }
    if (priv)
        for (const RsaPart& part : kParts) priv->set(part.attribute, ossl::keyNumber(pkey, part.param));
}

}  // namespace dravenholt::sim
