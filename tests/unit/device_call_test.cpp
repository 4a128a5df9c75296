// The device call: encoding limits, broken replies and transport failures, seen through the
// exported functions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/context.h"
#include "unit/device_fixture.h"

using namespace orvotest;

using DeviceCall = SessionTest;

TEST_F(DeviceCall, RequestOfExactly2048BytesIsSentOneMoreIsRefused) {
    // 08 0d | 10 4d | 22 <len:2> <pin> | 40 01 : 2 + 2 + 3 + len + 2 bytes.
    std::vector<CK_UTF8CHAR> pin(2048 - 9, 'p');
    EXPECT_EQ(C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_OK);
    EXPECT_EQ(device->rawRequests.back().size(), 2048u);
    size_t sent = device->requests.size();
    pin.push_back('p');
    EXPECT_EQ(C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(device->requests.size(), sent);
    EXPECT_NE(log().find("ERROR : stream full\n"), std::string::npos);
}

TEST_F(DeviceCall, BrokenRepliesBecomeFunctionFailed) {
    const std::vector<std::pair<Bytes, const char*>> broken = {
        {{}, "no response from transport."},
        {{0x10, 0x05}, "missing required field"},  // no field 1
        {{0x08}, ""},                              // truncated varint
        {{0xFF, 0xFF, 0xFF}, ""},                  // garbage
    };
    for (const auto& [bytes, text] : broken) {
        device->answer(replyRaw(bytes));
        EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED);
        if (*text) {
            EXPECT_NE(log().find(text), std::string::npos) << text;
        }
    }
    EXPECT_EQ(C_Logout(session), CKR_OK);  // the next good exchange works
}

TEST_F(DeviceCall, OversizedTokenInfoFieldFailsTheWholeReply) {
    // A token information whose label (its first field) has 33 bytes.
    Bytes reply = {0x08, 0x00, 0x42, 35, 0x0A, 33};
    reply.resize(reply.size() + 33, 'L');
    device->answer(replyRaw(reply));
    CK_TOKEN_INFO out;
    std::memset(&out, 0xAA, sizeof out);
    EXPECT_EQ(C_GetTokenInfo(0, &out), CKR_FUNCTION_FAILED);
    EXPECT_EQ(out.flags, 0u);
    EXPECT_EQ(out.label[0], 0xAA);
}

TEST_F(DeviceCall, TransportFailureIsLoggedAndTheNextCallReopens) {
    device->openError = "Device not detected";
    dravenholt::getContext().ports().find(0)->close();
    EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED);
    std::string text = log();
    EXPECT_NE(text.find("ERROR : Device not detected\n"), std::string::npos);
    EXPECT_NE(text.find("ERROR : no response from transport.\n"), std::string::npos);
    device->openError.clear();
    EXPECT_EQ(C_Logout(session), CKR_OK);
}
