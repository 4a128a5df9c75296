// The log file and the lock file: what is never written to the log, and files planted at their
// paths by someone who may write to the directory.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <filesystem>
#include <set>

#include "settings/settings.h"
#include "frame/context.h"
#include "support/scripted_device.h"
#include "support/test_env.h"

using namespace orvotest;
using dravenholt::Context;
using dravenholt::getContext;

TEST(Logging, NoPinAndNoLineBeyondTheBufferIsWritten) {
    TestDir dir;
    dir.useAsConfig(R"({"logging": {"loglevel": 10, "logfile": ")" + dir.file("orvo.log") + "\"}}");
    auto device = std::make_shared<ScriptedDevice>();
    installDevices({device});
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    Response opened;
    opened.handle = 3;
    device->answer(reply(opened));
    CK_SESSION_HANDLE h;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
    CK_UTF8CHAR pin[] = "secret-pin-4711";
    C_Login(h, CKU_USER, pin, 15);
    getContext().log(20, "%s", std::string(2048, 'y').c_str());
    std::string log = dir.read("orvo.log");
    EXPECT_NE(log.find("TRACE : C_Login\n"), std::string::npos);
    EXPECT_EQ(log.find("secret-pin-4711"), std::string::npos);
    EXPECT_EQ(log.find("yyyy"), std::string::npos);
}

#ifndef _WIN32
// The log file and the lock file may lie in a directory that others can write to.
TEST(Files, NothingPlantedAtTheLogOrLockPathIsFollowed) {
    namespace fs = std::filesystem;
    TestDir dir;
    dir.useAsConfig();
    Context& c = getContext();
    dir.write("victim", "kept");
    struct Case {
        const char* key;
        const char* plant;  // "link" to the victim, "dangling" link, "fifo"
    } cases[] = {{"logfile", "link"}, {"logfile", "dangling"}, {"logfile", "fifo"},
                 {"lockfile", "link"}, {"lockfile", "dangling"}, {"lockfile", "fifo"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.key) + " " + k.plant);
        const std::string planted = dir.file(std::string(k.key) + "-" + k.plant);
        if (std::string(k.plant) == "fifo") ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
        else fs::create_symlink(dir.file(std::string(k.plant) == "link" ? "victim" : "made"), planted);
        std::string item = "\"" + std::string(k.key) + "\": \"" + planted + "\"";
        bool logging = std::string(k.key) == "logfile";
        dir.write("orvoconfig.json", logging ? "{\"logging\": {" + item + "}}" : "{" + item + "}");
        c.loadConfiguration();  // returns: a FIFO is not waited on
        c.log(dravenholt::kError, "a line");
        EXPECT_FALSE(c.writesLogFile());
        EXPECT_FALSE(c.deviceLock().usesLockFile());
        EXPECT_EQ(dir.read("victim"), "kept");
        EXPECT_FALSE(fs::exists(dir.file("made")));
    }
}

// The log file is created for its owner alone and appended to; neither file is inherited by a
// program the process starts.
TEST(Files, LogFileIsTheOwnersAndNoFileReachesStartedPrograms) {
    TestDir dir;
    dir.write("orvo.log", "earlier\n");
    ASSERT_EQ(chmod(dir.file("orvo.log").c_str(), 0644), 0);
    dir.useAsConfig(R"({"logging": {"logfile": ")" + dir.file("fresh.log") + R"("}, "lockfile": ")" +
                    dir.file("orvo.lock") + "\"}");
    Context& c = getContext();
    ASSERT_TRUE(c.deviceLock().usesLockFile());
    c.log(dravenholt::kError, "first");
    struct stat st {};
    ASSERT_EQ(stat(dir.file("fresh.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // An existing log file keeps its mode and what it holds.
    dir.write("orvoconfig.json", R"({"logging": {"logfile": ")" + dir.file("orvo.log") + R"("}})");
    c.loadConfiguration();
    c.log(dravenholt::kError, "second");
    ASSERT_EQ(stat(dir.file("orvo.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    std::string log = dir.read("orvo.log");
    EXPECT_EQ(log.substr(0, 8), "earlier\n");
    EXPECT_NE(log.find("ERROR : second\n"), std::string::npos);
    // Every descriptor this process has on the files is closed on exec.
    std::set<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target != dir.file("orvo.log") && target != dir.file("orvo.lock")) continue;
        open.insert(target);
        EXPECT_TRUE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC) << target;
    }
    EXPECT_EQ(open.size(), 2u);
}
#endif
