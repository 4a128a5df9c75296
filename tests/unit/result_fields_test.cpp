// A success reply is believed only with the fields that carry its result, as one table: without
// them the call fails with CKR_DEVICE_ERROR and writes none of the caller's outputs. And a reply
// longer than a message may be is refused whole.
#include <cstring>
#include <functional>

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

TEST_F(ResultFields, ReplyBeyondTheMessageLimitIsRefusedWhole) {
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
    device->answer(replyRaw(sized(2049)));
    EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("reply longer than a message may be"));
    EXPECT_EQ(C_Logout(session), CKR_OK);  // the connection was renewed for the next call
}

}  // namespace
