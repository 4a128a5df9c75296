// orvo-admin backup, factory-reset and restore: the round trip over USB HID with its progress
// bar and JSON result, and what stops the commands.
#include <sys/stat.h>

#include "tool_fixture.h"

using namespace tooltest;

TEST_F(ToolTest, BackupResetRestoreBringsTheTokenBack) {
    withLibrary([&] {
        CK_SESSION_HANDLE s = readyUser();
        addNote(s, "first");
        addNote(s, std::string(1900, 'n'));  // several pieces each way
    });
    ASSERT_EQ(tool({"config", "set", "session-timeout", "25"}).code, 0);
    const std::string file = dir.file("token.backup");
    Outcome backup = tool({"backup", file}, true);
    ASSERT_EQ(backup.code, 0) << backup.err;
    EXPECT_NE(backup.err.find("backup ["), std::string::npos);  // the bar, for a person watching
    EXPECT_NE(backup.err.find("] 100% "), std::string::npos);
    struct stat info{};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // the image holds the token's keys

    ASSERT_EQ(tool({"factory-reset", "--yes-erase-everything"}).code, 0);
    withLibrary([&] { EXPECT_FALSE(initialised()); });

    Outcome restore = tool({"--json", "restore", file}, true);
    ASSERT_EQ(restore.code, 0) << restore.err;
    EXPECT_EQ(restore.err, "");  // no bar with --json
    nlohmann::json result = nlohmann::json::parse(restore.out);
    EXPECT_EQ(result["verified"], true);
    EXPECT_EQ(result["bytes"], info.st_size);
    // The token reproduces the image: its objects, PINs and configuration are those of the backup.
    withLibrary([&] { EXPECT_TRUE(initialised()); });
    EXPECT_EQ(nlohmann::json::parse(tool({"config", "show", "--json"}).out)["sessionTimeoutMinutes"], 25);
}

TEST_F(ToolTest, StorageCommandsExplainWhatStopsThem) {
    withLibrary([&] { readyUser(); });
    Outcome unconfirmed = tool({"factory-reset"});
    EXPECT_EQ(unconfirmed.code, 2);
    EXPECT_NE(unconfirmed.err.find("--yes-erase-everything"), std::string::npos);

    pins.erase("SO PIN");
    Outcome noPin = tool({"backup", dir.file("x")});
    EXPECT_EQ(noPin.code, 1);
    EXPECT_NE(noPin.err.find("the SO PIN is needed"), std::string::npos);
    pins["SO PIN"] = "not-the-pin";
    Outcome wrongPin = tool({"backup", dir.file("x")});
    EXPECT_EQ(wrongPin.code, 1);
    EXPECT_NE(wrongPin.err.find("the SO login failed: CKR_PIN_INCORRECT"), std::string::npos) << wrongPin.err;

    EXPECT_NE(tool({"restore", dir.file("absent")}).err.find("cannot read"), std::string::npos);
    Outcome noSlot = tool({"--slot", "3", "factory-reset", "--yes-erase-everything"});
    EXPECT_EQ(noSlot.code, 1);
    EXPECT_NE(noSlot.err.find("there is no slot 3"), std::string::npos);
    withLibrary([&] { EXPECT_TRUE(initialised()); });
}
