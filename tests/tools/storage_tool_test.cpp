// orvo-admin backup, factory-reset and restore: the round trip over USB HID, the checks around
// it, and a damaged backup refused.
#include <sys/stat.h>

#include <fstream>

#include "tool_fixture.h"

using namespace tooltest;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(ToolTest, BackupResetRestoreBringsTheTokenBack) {
    withLibrary([&] {
        CK_SESSION_HANDLE s = readyUser();
        addNote(s, "first");
        addNote(s, std::string(1900, 'n'));  // several pieces each way
    });
    ASSERT_EQ(tool({"config", "set", "session-timeout", "25"}).code, 0);
    const std::string file = dir.file("token.backup");
    Outcome backup = tool({"backup", file});
    ASSERT_EQ(backup.code, 0) << backup.err;
    EXPECT_NE(backup.out.find("backed up"), std::string::npos);
    struct stat info{};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // the image holds the token's keys
    EXPECT_GT(info.st_size, 2048);

    Outcome reset = tool({"factory-reset", "--yes-erase-everything"});
    ASSERT_EQ(reset.code, 0) << reset.err;
    withLibrary([&] { EXPECT_FALSE(initialised()); });

    Outcome restore = tool({"restore", file});
    ASSERT_EQ(restore.code, 0) << restore.err;
    EXPECT_NE(restore.out.find("the token reproduces the image"), std::string::npos);
    withLibrary([&] {
        EXPECT_TRUE(initialised());
        EXPECT_EQ(notes(), (std::vector<std::string>{"first", std::string(1900, 'n')}));  // user PIN back too
    });
    Outcome config = tool({"config", "show", "--json"});
    ASSERT_EQ(config.code, 0) << config.err;
    EXPECT_EQ(nlohmann::json::parse(config.out)["sessionTimeoutMinutes"], 25);
}

TEST_F(ToolTest, DamagedBackupIsRefusedAndTheTokenStaysAsItWas) {
    withLibrary([&] { addNote(readyUser(), "kept"); });
    const std::string file = dir.file("token.backup");
    ASSERT_EQ(tool({"backup", file}).code, 0);
    std::string image = readText(file);
    image[image.size() / 2] ^= 0x20;
    dir.write("damaged.backup", image);
    dir.write("short.backup", image.substr(0, image.size() - 1));
    for (const char* name : {"damaged.backup", "short.backup"}) {
        Outcome restore = tool({"restore", dir.file(name)});
        EXPECT_EQ(restore.code, 1) << name;
        EXPECT_NE(restore.err.find("the token refused"), std::string::npos) << restore.err;
        EXPECT_NE(restore.err.find("the token is unchanged"), std::string::npos);
    }
    withLibrary([&] { EXPECT_EQ(notes(), std::vector<std::string>{"kept"}); });
}

TEST_F(ToolTest, StorageCommandsExplainWhatStopsThem) {
    withLibrary([&] { readyUser(); });
    Outcome unconfirmed = tool({"factory-reset"});
    EXPECT_EQ(unconfirmed.code, 2);
    EXPECT_NE(unconfirmed.err.find("--yes-erase-everything"), std::string::npos);
    withLibrary([&] { EXPECT_TRUE(initialised()); });

    pins.erase("SO PIN");
    Outcome noPin = tool({"backup", dir.file("x")});
    EXPECT_EQ(noPin.code, 1);
    EXPECT_NE(noPin.err.find("the SO PIN is needed"), std::string::npos);
    pins["SO PIN"] = "not-the-pin";
    Outcome wrongPin = tool({"backup", dir.file("x")});
    EXPECT_EQ(wrongPin.code, 1);
    EXPECT_NE(wrongPin.err.find("the SO login failed: CKR_PIN_INCORRECT"), std::string::npos) << wrongPin.err;

    Outcome missing = tool({"restore", dir.file("absent")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
    Outcome noSlot = tool({"--slot", "3", "factory-reset", "--yes-erase-everything"});
    EXPECT_EQ(noSlot.code, 1);
    EXPECT_NE(noSlot.err.find("there is no slot 3"), std::string::npos);
    withLibrary([&] { EXPECT_TRUE(initialised()); });
}

TEST_F(ToolTest, ProgressBarForAPersonAndJsonForScripts) {
    withLibrary([&] { addNote(readyUser(), std::string(1900, 'p')); });
    Outcome watched = tool({"backup", dir.file("b")}, true);
    ASSERT_EQ(watched.code, 0);
    EXPECT_NE(watched.err.find("backup ["), std::string::npos);
    EXPECT_NE(watched.err.find("] 100% "), std::string::npos);
    Outcome scripted = tool({"--json", "restore", dir.file("b")}, true);
    ASSERT_EQ(scripted.code, 0) << scripted.err;
    EXPECT_EQ(scripted.err, "");  // no bar with --json
    nlohmann::json result = nlohmann::json::parse(scripted.out);
    EXPECT_EQ(result["verified"], true);
    EXPECT_EQ(result["bytes"], readText(dir.file("b")).size());
}
