// The device log: which events it records, and its bound.
#include "admin_harness.h"

using namespace simtest;

TEST(AdminLog, RecordsSecurityEventsWithTheirOutcomeAndDropsTheOldestLines) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("wrong-pin")), CKR_PIN_INCORRECT);
    std::string log = readLog(d);
    for (const char* event : {"token initialised", "SO login\n", "user PIN set", "user login\n", "user login refused (0x000000A0)"})
        EXPECT_NE(log.find(event), std::string::npos) << event;
    EXPECT_EQ(log.find("wrong-pin"), std::string::npos);  // never a PIN
    // One line per event, numbered, with the token's time.
    EXPECT_EQ(log.substr(0, 2), "1 ");
    EXPECT_EQ(log.back(), '\n');

    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
        EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    }
    log = readLog(d);
    EXPECT_LE(log.size(), 2024u);
    EXPECT_EQ(log.find("token initialised"), std::string::npos);
    EXPECT_NE(log.find("\n204 "), std::string::npos);  // the newest line
}
