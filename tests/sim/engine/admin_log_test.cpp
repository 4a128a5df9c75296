// The device log: which events it records, its length conventions and its bound.
#include "admin_harness.h"

using namespace simtest;

TEST(AdminLog, RecordsSecurityEventsWithTheirOutcome) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("wrong-pin")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.call(adminRequest(kFactoryReset)).rv, CKR_OK);
    std::string log = readLog(d);
    for (const char* event : {"token initialised", "SO login\n", "user PIN set", "user login\n",
                              "user login refused (0x000000A0)", "factory reset"})
        EXPECT_NE(log.find(event), std::string::npos) << event;
    EXPECT_EQ(log.find("wrong-pin"), std::string::npos);  // never a PIN
    // One line per event, numbered, with the token's time.
    EXPECT_EQ(log.substr(0, 2), "1 ");
    EXPECT_EQ(log.back(), '\n');
}

TEST(AdminLog, LengthConventions) {
    Device d;
    d.initToken();
    Request r = adminRequest(kReadLog);
    r.length = 4;
    Response small = d.call(r);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    ASSERT_TRUE(small.length.has_value());
    EXPECT_FALSE(small.data.has_value());
    r.length = *small.length;
    Response whole = d.call(r);
    EXPECT_EQ(whole.rv, CKR_OK);
    EXPECT_EQ(whole.data->size(), *small.length);
}

TEST(AdminLog, OldestLinesGiveWayToNewOnes) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
        EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    }
    std::string log = readLog(d);
    EXPECT_LE(log.size(), 2024u);
    EXPECT_EQ(log.find("token initialised"), std::string::npos);
    EXPECT_NE(log.find("\n203 "), std::string::npos);  // the newest line
}
