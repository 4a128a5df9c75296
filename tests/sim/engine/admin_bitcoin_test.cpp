// The Bitcoin key slot: import from a seed, derivation against the published test vector of the
// derivation scheme, signatures checked with mbedtls, and the slot's refusals.
#include <mbedtls/ecdsa.h>

#include "admin_harness.h"

using namespace simtest;

namespace {

constexpr uint32_t kH = 0x80000000u;

Bytes pathBytes(std::vector<uint32_t> path) {
    Bytes out;
    for (uint32_t index : path)
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(index >> shift));
    return out;
}

Response importSeed(Device& d, uint32_t session, const Bytes& seed) { return d.call(Call(kImportBitcoin, session).data(seed)); }

Response publicKey(Device& d, uint32_t session, std::vector<uint32_t> path, uint32_t capacity = 65) {
    return d.call(Call(kBitcoinPub, session).data(pathBytes(path)).length(capacity));
}

Response signHash(Device& d, uint32_t session, std::vector<uint32_t> path, const Bytes& hash) {
    return d.call(Call(kBitcoinSign, session).data(pathBytes(path)).data2(hash).length(72));
}

// Checks an r||s signature with a compressed public key: y is recovered as
// (x^3 + 7)^((p + 1) / 4) mod p, which works because p = 3 mod 4.
bool verifies(const Bytes& compressed, const Bytes& hash, const Bytes& signature) {
    mbedtls_ecp_group g;
    mbedtls_ecp_point q;
    mbedtls_mpi r, s, e, t;
    mbedtls_ecp_group_init(&g);
    mbedtls_ecp_point_init(&q);
    for (mbedtls_mpi* m : {&r, &s, &e, &t}) mbedtls_mpi_init(m);
    bool ok = compressed.size() == 33 && signature.size() == 64 &&
              mbedtls_ecp_group_load(&g, MBEDTLS_ECP_DP_SECP256K1) == 0 &&
              mbedtls_mpi_read_binary(&q.X, compressed.data() + 1, 32) == 0 &&
              mbedtls_mpi_mul_mpi(&t, &q.X, &q.X) == 0 && mbedtls_mpi_mul_mpi(&t, &t, &q.X) == 0 &&
              mbedtls_mpi_add_int(&t, &t, 7) == 0 && mbedtls_mpi_add_int(&e, &g.P, 1) == 0 &&
              mbedtls_mpi_shift_r(&e, 2) == 0 && mbedtls_mpi_exp_mod(&q.Y, &t, &e, &g.P, nullptr) == 0;
    if (ok && (mbedtls_mpi_get_bit(&q.Y, 0) != (compressed[0] & 1))) ok = mbedtls_mpi_sub_mpi(&q.Y, &g.P, &q.Y) == 0;
    ok = ok && mbedtls_mpi_lset(&q.Z, 1) == 0 && mbedtls_ecp_check_pubkey(&g, &q) == 0 &&
         mbedtls_mpi_read_binary(&r, signature.data(), 32) == 0 &&
         mbedtls_mpi_read_binary(&s, signature.data() + 32, 32) == 0 &&
         mbedtls_ecdsa_verify(&g, hash.data(), hash.size(), &q, &r, &s) == 0;
    // Low s: at most half the group order.
    mbedtls_mpi_copy(&t, &g.N);
    mbedtls_mpi_shift_r(&t, 1);
    ok = ok && mbedtls_mpi_cmp_mpi(&s, &t) <= 0;
    mbedtls_ecp_group_free(&g);
    mbedtls_ecp_point_free(&q);
    for (mbedtls_mpi* m : {&r, &s, &e, &t}) mbedtls_mpi_free(m);
    return ok;
}

struct Slot : ::testing::Test {
    Device d;
    uint32_t s = d.readyUserSession();
    const Bytes seed = hex("000102030405060708090a0b0c0d0e0f");
};

}  // namespace

TEST_F(Slot, PublicKeysFollowTheTestVectorOfTheScheme) {
    ASSERT_EQ(importSeed(d, s, seed).rv, CKR_OK);
    const std::pair<std::vector<uint32_t>, const char*> vectors[] = {
        {{}, "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2"},
        {{0 | kH}, "035a784662a4a20a65bf6aab9ae98a6c068a81c52e4b032c0fb5400c706cfccc56"},
        {{0 | kH, 1}, "03501e454bf00751f24b1b489aa925215d66af2234e3891c3b21a52bedb3cd711c"},
        {{0 | kH, 1, 2 | kH}, "0357bfe1e341d01c69fe5654309956cbea516822fba8a601743a012a7896ee8dc2"},
    };
    for (const auto& [path, expected] : vectors) {
        Response r = publicKey(d, s, path);
        ASSERT_EQ(r.rv, CKR_OK);
        EXPECT_EQ(toHex(r.data.value_or(Bytes{})), expected) << path.size();
    }
}

TEST_F(Slot, SignaturesVerifyWithTheDerivedKeyAndAreDeterministic) {
    ASSERT_EQ(importSeed(d, s, seed).rv, CKR_OK);
    const std::vector<uint32_t> path = {44 | kH, 0 | kH, 0 | kH, 0, 7};
    Bytes hash(32);
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = uint8_t(i * 13 + 1);
    Response signature = signHash(d, s, path, hash);
    ASSERT_EQ(signature.rv, CKR_OK);
    Bytes pub = publicKey(d, s, path).data.value_or(Bytes{});
    EXPECT_TRUE(verifies(pub, hash, *signature.data));
    EXPECT_FALSE(verifies(publicKey(d, s, {44 | kH}).data.value_or(Bytes{}), hash, *signature.data));
    EXPECT_EQ(signHash(d, s, path, hash).data, signature.data);

    EXPECT_EQ(signHash(d, s, path, Bytes(31, 1)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(d.rv(Call(kBitcoinSign, s)), CKR_ARGUMENTS_BAD);
}

TEST_F(Slot, OneKeyThatStaysSecretAndRefusals) {
    EXPECT_EQ(publicKey(d, s, {}).rv, kNoBitcoinKey);
    EXPECT_EQ(importSeed(d, s, Bytes(15, 1)).rv, CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(importSeed(d, s, Bytes(65, 1)).rv, CKR_KEY_SIZE_RANGE);
    ASSERT_EQ(importSeed(d, s, seed).rv, CKR_OK);
    EXPECT_EQ(importSeed(d, s, Bytes(32, 7)).rv, kBitcoinKeyExists);
    // Neither the key nor its chain code can be read (the key is the token's first object).
    Response secret = d.getAttributes(s, 1, {CKA_VALUE, 0x8000B1C0u});
    EXPECT_EQ(secret.rv, CKR_ATTRIBUTE_SENSITIVE);
    for (const Attribute& a : secret.attributes) EXPECT_FALSE(a.value && !a.value->empty());

    EXPECT_EQ(d.rv(Call(kBitcoinPub, s).data(Bytes(5, 0))), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(publicKey(d, s, std::vector<uint32_t>(256, 1)).rv, CKR_ARGUMENTS_BAD);
    Response small = publicKey(d, s, {}, 32);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 33u);
    ASSERT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(publicKey(d, s, {}).rv, CKR_USER_NOT_LOGGED_IN);

    // The key is a token object: a read-only session cannot make it.
    Device fresh;
    fresh.readyUserSession();
    EXPECT_EQ(importSeed(fresh, fresh.open(false), seed).rv, CKR_SESSION_READ_ONLY);
}
