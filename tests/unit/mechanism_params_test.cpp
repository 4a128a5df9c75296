// The mechanism as it goes on the wire: each request is encoded as the device call would encode
// it and decoded back into the owning message form.
#include <gtest/gtest.h>
#include <pb_encode.h>

#include <cstring>

#include "codec/codec.h"
#include "protocol/function_ids.h"
#include "support/test_env.h"
#include "support/wide_numbers.h"
#include "token/mechanism_params.h"

using namespace dravenholt;
using dravenholt::wire::Bytes;
using dravenholt::wire::Request;
using orvotest::wide;

namespace {

Request onWire(DeviceCall& call) {
    uint8_t buffer[2048];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
    EXPECT_TRUE(pb_encode(&out, FunctionRequest_fields, &call.request)) << PB_GET_ERROR(&out);
    Request request;
    EXPECT_TRUE(wire::decodeRequest(buffer, out.bytes_written, request));
    return request;
}

Bytes le32(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

const Bytes kNoPointer(8, 0);  // where a structure holds a pointer: never a host address

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class MechanismParams : public ::testing::Test {
protected:
    void SetUp() override {
        dir.useAsConfig(R"({"logging":{"loglevel":10,"logfile":")" + dir.file("log.txt") + R"("}})");
    }
    orvotest::TestDir dir;
    DeviceCall call{fn::EncryptInit};
};

// Structures holding CK_ULONGs are re-laid out (32-bit numbers, 8-byte pointers, packed) and
// field 2 carries the wire length; the derivations by encryption carry their data in the block;
// a block that is not the host structure travels as it is, and a null block with a length is
// never read.
TEST_F(MechanismParams, BlocksTravelInTheDeviceLayout) {
    CK_BYTE label[5] = {1, 2, 3, 4, 5};
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_AES_CTR_PARAMS ctr{64, {}};
    for (int i = 0; i < 16; ++i) ctr.cb[i] = static_cast<CK_BYTE>(0xA0 + i);
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, label, sizeof label};
    CK_AES_CBC_ENCRYPT_DATA_PARAMS cbc{};
    std::memset(cbc.iv, 0x11, sizeof cbc.iv);
    cbc.pData = label;
    cbc.length = 5;
    CK_KEY_DERIVATION_STRING_DATA text{label, 5};
    CK_DES_CBC_ENCRYPT_DATA_PARAMS desCbc{};
    std::memset(desCbc.iv, 0x22, sizeof desCbc.iv);
    desCbc.pData = label;
    desCbc.length = 5;
    CK_ECDH1_DERIVE_PARAMS ecdh{CKD_NULL, 5, label, 5, label};
    CK_BYTE packed[12] = {0x50, 0x02, 0, 0, 2, 0, 0, 0, 32, 0, 0, 0};
    struct Layout {
        CK_MECHANISM mechanism;
        bool directFill;  // as signing and wrapping fill it: never taken apart
        uint32_t length;
        Bytes bytes;
    } layouts[] = {
        {{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss}, true, 12, le32({CKM_SHA256, CKG_MGF1_SHA256, 32})},
        {{CKM_AES_CTR, &ctr, sizeof ctr}, false, 20, cat(le32({64}), Bytes(ctr.cb, ctr.cb + 16))},
        {{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}, true, 24,
         cat(cat(le32({CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED}), kNoPointer), le32({5}))},
        {{CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh}, true, 28,
         cat(cat(cat(le32({CKD_NULL, 5}), kNoPointer), le32({5})), kNoPointer)},
        {{CKM_AES_CBC_ENCRYPT_DATA, &cbc, sizeof cbc}, false, 21, cat(Bytes(16, 0x11), Bytes(label, label + 5))},
        {{CKM_DES3_CBC_ENCRYPT_DATA, &desCbc, sizeof desCbc}, false, 13, cat(Bytes(8, 0x22), Bytes(label, label + 5))},
        {{CKM_AES_ECB_ENCRYPT_DATA, &text, sizeof text}, false, 5, Bytes(label, label + 5)},
        {{CKM_DES_ECB_ENCRYPT_DATA, &text, sizeof text}, true, 5, Bytes(label, label + 5)},
        {{CKM_SHA256_RSA_PKCS_PSS, packed, sizeof packed}, true, 12, Bytes(packed, packed + 12)},
        {{CKM_RSA_PKCS_OAEP, nullptr, sizeof(CK_RSA_PKCS_OAEP_PARAMS)}, false, 0, Bytes{}},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.mechanism.mechanism);
        DeviceCall each(fn::DeriveKey);
        if (l.directFill)
            fillMechanism(each, l.mechanism, ParameterLength::Sent);
        else
            ASSERT_EQ(encodeMechanism(getContext(), each, l.mechanism), CKR_OK);
        wire::Mechanism m = onWire(each).mechanism.value();
        EXPECT_EQ(m.mechanism, l.mechanism.mechanism);
        EXPECT_EQ(m.parameterLength, l.length);
        EXPECT_EQ(m.parameter, l.bytes);
        EXPECT_FALSE(m.oaepParams || m.ecdhParams);
    }
}

TEST_F(MechanismParams, HostValuesBeyondTheWireAreRefused) {
    ORVO_SKIP_UNLESS_WIDE_HOST_NUMBERS();
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, wide(0x100000000ULL)};
    fillMechanism(call, {CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss}, ParameterLength::Sent);
    EXPECT_EQ(call.refusal(), CKR_MECHANISM_PARAM_INVALID);

    DeviceCall type(fn::EncryptInit);
    EXPECT_EQ(encodeMechanism(getContext(), type, {wide(0x100000001ULL), nullptr, 0}), CKR_MECHANISM_INVALID);

    CK_BYTE iv[16] = {};
    DeviceCall length(fn::EncryptInit);
    EXPECT_EQ(encodeMechanism(getContext(), length, {CKM_AES_CBC, iv, wide(0x100000010ULL)}), CKR_DATA_LEN_RANGE);
}

}  // namespace
