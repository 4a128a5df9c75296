// What the device call believes: a success reply only with the fields that carry its result
// (without them the call fails with CKR_DEVICE_ERROR and writes none of the caller's outputs);
// no reply longer than a message may be, no broken one; and no request beyond a message.
#include <cstring>
#include <functional>
#include <vector>

#include "frame/context.h"
#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

constexpr CK_ULONG kFill = 0x5A5A;

class ResultFields : public SessionTest {
protected:
    // Outputs that the calls below write into, all kFill (or '#') before each call.
    CK_ULONG out[2] = {kFill, kFill};
    CK_TOKEN_INFO token{};
    CK_SESSION_INFO sessionInfo{};
    CK_BYTE random[8]{};
    CK_MECHANISM mech = {CKM_AES_KEY_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[1] = {{CKA_TOKEN, &yes, 1}};
    CK_BYTE wrapped[4] = {1, 2, 3, 4};

    bool untouched() const {
        const auto* t = reinterpret_cast<const CK_BYTE*>(&token.label);
        return out[0] == kFill && out[1] == kFill && t[0] == '#' && sessionInfo.ulDeviceError == kFill &&
               dravenholt::getContext().sessions().size() == 1;
    }
    void fill() {
        out[0] = out[1] = kFill;
        std::memset(&token, '#', sizeof token);
        sessionInfo.ulDeviceError = kFill;
    }
};

Response withHandle(std::optional<uint32_t> first, std::optional<uint32_t> second = {}) {
    Response r;
    r.handle = first;
    r.handle2 = second;
    return r;
}

TEST_F(ResultFields, SuccessWithoutItsResultIsADeviceError) {
    struct Case {
        const char* name;
        Response answer;
        std::function<CK_RV()> call;
    } cases[] = {
        {"C_GetTokenInfo", Response{}, [&] { return C_GetTokenInfo(0, &token); }},
        {"C_OpenSession", Response{},
         [&] { return C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &out[0]); }},
        {"C_GetSessionInfo", Response{}, [&] { return C_GetSessionInfo(session, &sessionInfo); }},
        {"C_CreateObject", Response{}, [&] { return C_CreateObject(session, tmpl, 1, &out[0]); }},
        {"C_CopyObject", Response{}, [&] { return C_CopyObject(session, 9, tmpl, 1, &out[0]); }},
        {"C_GenerateKey", Response{}, [&] { return C_GenerateKey(session, &mech, tmpl, 1, &out[0]); }},
        {"C_GenerateKeyPair, public handle only", withHandle(10),
         [&] { return C_GenerateKeyPair(session, &mech, tmpl, 1, tmpl, 1, &out[0], &out[1]); }},
        {"C_GenerateKeyPair, private handle only", withHandle({}, 11),
         [&] { return C_GenerateKeyPair(session, &mech, tmpl, 1, tmpl, 1, &out[0], &out[1]); }},
        {"C_UnwrapKey", Response{}, [&] { return C_UnwrapKey(session, &mech, 3, wrapped, 4, tmpl, 1, &out[0]); }},
        {"C_DeriveKey", Response{}, [&] { return C_DeriveKey(session, &mech, 3, tmpl, 1, &out[0]); }},
        {"C_GenerateRandom, nothing", Response{}, [&] { return C_GenerateRandom(session, random, 8); }},
        {"C_GenerateRandom, short", [] {
             Response r;
             r.data = Bytes(7, 1);
             return r;
         }(), [&] { return C_GenerateRandom(session, random, 8); }},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        fill();
        device->answer(reply(c.answer));
        EXPECT_EQ(c.call(), CKR_DEVICE_ERROR);
        EXPECT_TRUE(untouched());
    }
    EXPECT_TRUE(logged("success reply without its result"));
}

TEST_F(ResultFields, MessagesBeyondTheLimitAndBrokenRepliesFail) {
    // Field 1 = CKR_OK, then field 3 padded so that the reply has `size` bytes.
    auto sized = [](size_t size) {
        Bytes raw = {0x08, 0x00, 0x1a, 0x00, 0x00};
        size_t body = size - raw.size();
        raw[3] = static_cast<uint8_t>(0x80 | (body & 0x7F));
        raw[4] = static_cast<uint8_t>(body >> 7);
        raw.resize(size, 0x61);
        return raw;
    };
    device->answer(replyRaw(sized(2048)));
    EXPECT_EQ(C_Logout(session), CKR_OK);
    // Too long, empty, without field 1, a cut number, garbage: each fails, and the connection is
    // renewed for the next call.
    for (const Bytes& broken : {sized(2049), Bytes{}, Bytes{0x10, 0x05}, Bytes{0x08}, Bytes{0xFF, 0xFF, 0xFF}}) {
        device->answer(replyRaw(broken));
        EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED) << broken.size();
        EXPECT_EQ(C_Logout(session), CKR_OK);
    }
    // A token information whose label (its first field) has 33 bytes is not copied at all.
    Bytes label = {0x08, 0x00, 0x42, 35, 0x0A, 33};
    label.resize(label.size() + 33, 'L');
    device->answer(replyRaw(label));
    fill();
    EXPECT_EQ(C_GetTokenInfo(0, &token), CKR_FUNCTION_FAILED);
    EXPECT_EQ(token.label[0], '#');

    // 08 0d | 10 4d | 22 <len:2> <pin> | 40 01 : 2 + 2 + 3 + len + 2 bytes.
    std::vector<CK_UTF8CHAR> pin(2048 - 9, 'p');
    EXPECT_EQ(C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_OK);
    EXPECT_EQ(device->rawRequests.back().size(), 2048u);
    size_t before = device->requests.size();
    pin.push_back('p');
    EXPECT_EQ(C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(device->requests.size(), before);
}

TEST_F(ResultFields, TransportFailureIsLoggedAndTheNextCallReopens) {
    device->openError = "Device not detected";
    dravenholt::getContext().ports().find(0)->close();
    EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("ERROR : Device not detected\n"));
    device->openError.clear();
    EXPECT_EQ(C_Logout(session), CKR_OK);
}

}  // namespace
