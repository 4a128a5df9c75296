// The token state file: files of earlier versions load, damaged or empty ones are refused and
// left as they are, and a failed write leaves the token as it was.
#include <filesystem>

#include <mbedtls/pkcs5.h>
#include <mbedtls/sha256.h>

#include "engine/state_file.h"
#include "harness.h"
#include "support/test_env.h"

using namespace simtest;

namespace {

TokenInfoMsg tokenInfo(Device& d) {
    Response resp = d.call(Call(fn::GetTokenInfo));
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.tokenInfo.value_or(TokenInfoMsg{});
}

struct Persistence : ::testing::Test {
    orvotest::TestDir dir;
    dravenholt::sim::EngineOptions options;
    void SetUp() override { options.stateFile = dir.file("device.state"); }
};

}  // namespace

// A state file as earlier simulators wrote it: PIN hashes by PBKDF2-HMAC-SHA-256 (2000 rounds)
// and a SHA-256 checksum, here computed with mbedtls.
TEST_F(Persistence, AStateFileOfEarlierVersionsLoads) {
    dravenholt::sim::TokenRecord record;
    record.initialized = true;
    record.label = std::string(32, ' ');
    for (auto [pin, value] : {std::pair{&record.so, kSoPin}, std::pair{&record.user, kUserPin}}) {
        pin->set = true;
        pin->salt = Bytes(16, uint8_t(value[0]));
        pin->hash.assign(32, 0);
        mbedtls_md_context_t md;
        mbedtls_md_init(&md);
        ASSERT_EQ(mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1), 0);
        ASSERT_EQ(mbedtls_pkcs5_pbkdf2_hmac(&md, value.data(), value.size(), pin->salt.data(), pin->salt.size(), 2000,
                                            32, pin->hash.data()), 0);
        mbedtls_md_free(&md);
    }
    Bytes image = dravenholt::sim::serializeState(record, {});
    Bytes checksum(32);
    mbedtls_sha256_ret(image.data(), image.size() - 32, checksum.data(), 0);
    EXPECT_EQ(Bytes(image.end() - 32, image.end()), checksum);
    dir.write("device.state", std::string(image.begin(), image.end()));

    Device d(options);
    uint32_t s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("user1235")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.rv(Call(fn::Logout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
}

TEST_F(Persistence, ADamagedOrEmptyStateFileIsRefusedAndLeftAsItIs) {
    Device(options).initToken();
    std::string damaged = dir.read("device.state");
    ASSERT_GT(damaged.size(), 40u);
    damaged[damaged.size() / 2] ^= 0x01;
    for (const std::string& bad : {damaged, std::string()}) {
        dir.write("device.state", bad);
        EXPECT_THROW(dravenholt::sim::Engine{options}, dravenholt::sim::EngineError);
        EXPECT_EQ(dir.read("device.state"), bad);
    }
}

TEST_F(Persistence, AMissingFileStartsAFreshTokenAndAFailedWriteLeavesItAsItWas) {
    EXPECT_FALSE(tokenInfo(*std::make_unique<Device>(options)).flags & CKF_TOKEN_INITIALIZED);
    EXPECT_FALSE(std::filesystem::exists(options.stateFile));
    options.stateFile = dir.file("missing-directory/device.state");
    Device d(options);
    EXPECT_EQ(d.rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_DEVICE_ERROR);
    EXPECT_FALSE(tokenInfo(d).flags & CKF_TOKEN_INITIALIZED);
}
