// orvo-admin backup, factory-reset and restore over USB HID: the progress bar and the JSON
// result, and what stops the commands. The round trip over TLS is in tests/e2e.
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "tool_fixture.h"

using namespace tooltest;

TEST_F(ToolTest, BackupResetRestoreBringsTheTokenBack) {
    withLibrary([&] { addNote(readyUser(), std::string(1900, 'n')); });  // several pieces each way
    ASSERT_EQ(tool({"config", "set", "session-timeout", "25"}).code, 0);
    const std::string file = dir.file("token.backup");
    Outcome backup = tool({"backup", file}, true);
    ASSERT_EQ(backup.code, 0) << backup.err;
    EXPECT_NE(backup.err.find("] 100% "), std::string::npos);  // the bar, for a person watching
    struct stat info{};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));

    ASSERT_EQ(tool({"factory-reset", "--yes-erase-everything"}).code, 0);
    withLibrary([&] { EXPECT_FALSE(initialised()); });

    Outcome restore = tool({"--json", "restore", file}, true);
    ASSERT_EQ(restore.code, 0) << restore.err;
    EXPECT_EQ(restore.err, "");  // no bar with --json
    nlohmann::json result = nlohmann::json::parse(restore.out);
    EXPECT_EQ(result["verified"], true);
    EXPECT_EQ(result["bytes"], info.st_size);
    withLibrary([&] { EXPECT_TRUE(initialised()); });
    EXPECT_EQ(nlohmann::json::parse(tool({"config", "show", "--json"}).out)["sessionTimeoutMinutes"], 25);
}

TEST_F(ToolTest, StorageCommandsExplainWhatStopsThem) {
    withLibrary([&] { readyUser(); });
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> soPin;
        const char* message;
    } cases[] = {
        {{"backup", dir.file("x")}, std::nullopt, "the SO PIN is needed"},
        {{"backup", dir.file("x")}, "not-the-pin", "the SO login failed: CKR_PIN_INCORRECT"},
        {{"restore", dir.file("absent")}, kSoPin, "cannot read"},
        {{"--slot", "3", "factory-reset", "--yes-erase-everything"}, kSoPin, "there is no slot 3"},
    };
    for (const Case& c : cases) {
        if (c.soPin) pins["SO PIN"] = *c.soPin;
        else pins.erase("SO PIN");
        Outcome o = tool(c.args);
        EXPECT_EQ(o.code, 1) << c.message;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
    withLibrary([&] { EXPECT_TRUE(initialised()); });
}

// Something put at FILE.tmp beforehand (by someone who may write to the directory) is neither
// used nor written through: the backup fails, naming it, and writes nothing.
TEST_F(ToolTest, BackupRefusesWhatLiesAtItsTemporaryName) {
    withLibrary([&] { readyUser(); });
    const std::string file = dir.file("token.backup"), temporary = file + ".tmp";
    for (bool link : {false, true}) {
        SCOPED_TRACE(link ? "symbolic link" : "file");
        std::filesystem::remove(temporary);
        if (link) std::filesystem::create_symlink(dir.file("target"), temporary);
        else dir.write("token.backup.tmp", "planted");
        Outcome o = tool({"backup", file});
        EXPECT_EQ(o.code, 1);
        EXPECT_NE(o.err.find(temporary + " already exists"), std::string::npos) << o.err;
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_FALSE(std::filesystem::exists(dir.file("target")));
        if (!link) {
            EXPECT_EQ(dir.read("token.backup.tmp"), "planted");
        }
    }
}
