// The token state file: files of earlier versions load, damaged or empty ones are refused and
// left as they are, and a failed write leaves the token as it was.
#include <fstream>

#include <mbedtls/pkcs5.h>
#include <mbedtls/sha256.h>

#include "engine/state_file.h"
#include "harness.h"

using namespace simtest;

namespace {

TokenInfoMsg tokenInfo(Device& d) {
    Response resp = d.call(Call(kGetTokenInfo));
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.tokenInfo.value_or(TokenInfoMsg{});
}

const Call kInit = Call(kInitToken).data(kSoPin).data2(Bytes(32, ' '));

struct Persistence : ::testing::Test {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    void SetUp() override { options.stateFile = dir.path() / "device.state"; }
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
    std::ofstream(options.stateFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), long(image.size()));

    Device d(options);
    uint32_t s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("user1235")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
}

TEST_F(Persistence, ADamagedStateFileIsRefusedAndLeftAsItIs) {
    Device(options).initToken();
    std::string content;
    {
        std::ifstream in(options.stateFile, std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_GT(content.size(), 40u);
    content[content.size() / 2] ^= 0x01;
    std::ofstream(options.stateFile, std::ios::binary | std::ios::trunc) << content;
    try {
        dravenholt::sim::Engine engine(options);
        FAIL() << "a damaged state file was accepted";
    } catch (const dravenholt::sim::EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
    std::ifstream in(options.stateFile, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

TEST_F(Persistence, AMissingFileStartsAFreshTokenAndAnEmptyOneIsRefused) {
    EXPECT_FALSE(tokenInfo(*std::make_unique<Device>(options)).flags & CKF_TOKEN_INITIALIZED);
    EXPECT_FALSE(std::filesystem::exists(options.stateFile));
    std::ofstream(options.stateFile).close();
    EXPECT_THROW(dravenholt::sim::Engine{options}, dravenholt::sim::EngineError);
}

TEST_F(Persistence, AFailedWriteLeavesTheTokenAsItWas) {
    options.stateFile = dir.path() / "missing-directory" / "device.state";
    Device d(options);
    EXPECT_EQ(d.rv(kInit), CKR_DEVICE_ERROR);
    EXPECT_FALSE(tokenInfo(d).flags & CKF_TOKEN_INITIALIZED);
}
