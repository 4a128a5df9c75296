// Log lines and the configuration file.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <set>

#include "settings/settings.h"
#include "frame/context.h"
#include "platform/platform.h"
#include "support/platform.h"
#include "support/scripted_device.h"
#include "support/test_env.h"

using namespace orvotest;

namespace {

std::string configWithLog(const TestDir& dir, int level, const std::string& extra = "") {
    return R"({"logging": {"loglevel": )" + std::to_string(level) + R"(, "logfile": ")" + dir.file("orvo.log") +
           "\"}" + extra + "}";
}

}  // namespace

TEST(Logging, LineFormatLevelsAndTheBufferRule) {
    TestDir dir;
    dir.useAsConfig(configWithLog(dir, 10));
    dravenholt::Context& c = dravenholt::getContext();
    c.log(35, "odd level");
    c.log(20, "%s", std::string(2047, 'x').c_str());
    c.log(20, "%s", std::string(2048, 'y').c_str());
    c.log(20, "%s", "");
    std::string log = dir.read("orvo.log");
    // "<seconds with two decimals> t:<thread> DEBUG : New Instance" is the first line.
    size_t dot = log.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_GT(dot, 0u);
    const std::string thread = std::to_string(dravenholt::platform::threadId());
    std::string rest = " t:" + thread + " DEBUG : New Instance\n";
    EXPECT_EQ(log.substr(dot + 3, rest.size()), rest) << log;
    EXPECT_NE(log.find(" t:" + thread + "  : odd level\n"), std::string::npos);
    EXPECT_NE(log.find("DEBUG : " + std::string(2047, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(log.find("yyyy"), std::string::npos);
    size_t first = log.find("ERROR : log printbuf too small.\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("ERROR : log printbuf too small.\n", first + 1), std::string::npos);
}

TEST(Logging, ThresholdAndDisabledLogging) {
    TestDir dir;
    dir.useAsConfig(R"({"logging": {"enabled": false, "loglevel": 10, "logconsole": true, "logfile": ")" +
                    dir.file("orvo.log") + "\"}}");
    dravenholt::Context& c = dravenholt::getContext();
    EXPECT_EQ(c.settings().logThreshold, 1050);
    EXPECT_FALSE(c.settings().logToConsole);
    c.log(50, "never written");
    EXPECT_EQ(dir.read("orvo.log"), "");
}

TEST(Logging, EntryPointNamesAreTracedWithoutArguments) {
    TestDir dir;
    dir.useAsConfig(configWithLog(dir, 10));
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
    std::string log = dir.read("orvo.log");
    EXPECT_NE(log.find("TRACE : C_Initialize\n"), std::string::npos);
    EXPECT_NE(log.find("TRACE : bSetDateTime\n"), std::string::npos);
    EXPECT_NE(log.find("TRACE : C_Login\n"), std::string::npos);
    EXPECT_EQ(log.find("secret-pin-4711"), std::string::npos);
}

TEST(Config, DirectorySearchOrder) {
    using dravenholt::findConfigDirectory;
    const char sep = dravenholt::platform::kPathSeparator;
    TestDir dir, home, cwd;
    unsetEnvironment("ORVO_CONFIG_PATH");
    setEnvironment("HOME", home.path());
    std::filesystem::current_path(cwd.path());
    // Nothing anywhere: the directory of the executable file, which is this test program.
    const std::string exe = dravenholt::platform::executablePath();
    ASSERT_TRUE(std::filesystem::path(exe).is_absolute()) << exe;
    ASSERT_TRUE(std::filesystem::exists(exe)) << exe;
    EXPECT_EQ(findConfigDirectory("orvoconfig.json"), exe.substr(0, exe.rfind(sep) + 1));
    // ~/.orvo with the file.
    std::filesystem::create_directory(home.file(".orvo"));
    home.write(".orvo/orvoconfig.json", "{}");
    EXPECT_EQ(findConfigDirectory("orvoconfig.json"), home.path() + sep + ".orvo" + sep);
    // Without HOME, USERPROFILE names the home directory.
    unsetEnvironment("HOME");
    setEnvironment("USERPROFILE", home.path());
    EXPECT_EQ(findConfigDirectory("orvoconfig.json"), home.path() + sep + ".orvo" + sep);
    // The working directory wins over ~/.orvo.
    cwd.write("orvoconfig.json", "{}");
    EXPECT_EQ(findConfigDirectory("orvoconfig.json"), dravenholt::platform::currentDirectory() + sep);
    EXPECT_TRUE(std::filesystem::equivalent(dravenholt::platform::currentDirectory(), cwd.path()));
    // ORVO_CONFIG_PATH wins even when the file is not there.
    setEnvironment("ORVO_CONFIG_PATH", dir.path());
    EXPECT_EQ(findConfigDirectory("orvoconfig.json"), dir.path() + sep);
}

TEST(Config, NumbersTransportKeysAndTimeouts) {
    TestDir dir;
    dir.useAsConfig(R"({"transport": {"vid": 4660, "pid": 22136.7, "usagePage": "x", "udp": 1},
                        "timeout": 5000.9, "keytimeout": 70000})");
    dravenholt::Context& c = dravenholt::getContext();
    EXPECT_EQ(c.settings().vendorId, 4660u);
    EXPECT_EQ(c.settings().productId, 22136u);
    EXPECT_EQ(c.settings().usagePage, 0u);
    EXPECT_EQ(c.settings().timeoutMs, 5000u);
    EXPECT_EQ(c.settings().keyTimeoutMs, 70000u);
    auto device = std::make_shared<ScriptedDevice>();
    installDevices({device});
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(device->timeout, 5000u);
}

TEST(Config, AddressWithoutBundleFailsAfterSettingAddressAndPort) {
    TestDir dir;
    dir.useAsConfig(configWithLog(dir, 20, R"(, "transport": {"address": "127.0.0.1", "port": 4433},
                                              "timeout": 777)"));
    dravenholt::Context& c = dravenholt::getContext();
    EXPECT_EQ(c.settings().address, "127.0.0.1");
    EXPECT_EQ(c.settings().port, 4433u);
    EXPECT_EQ(c.settings().timeoutMs, 12000u);  // keys after the failure are not read
    std::string log = dir.read("orvo.log");
    EXPECT_NE(log.find("WARN : Failed to parse config\n"), std::string::npos);
    EXPECT_EQ(log.find("Connecting to IP transport."), std::string::npos);
}

TEST(Config, AddressWithoutPortKeepsUsb) {
    TestDir dir;
    dir.useAsConfig(R"({"transport": {"address": "127.0.0.1", "cacertbundle": "/x"}})");
    EXPECT_EQ(dravenholt::getContext().settings().address, "");
}

TEST(Config, SyntaxErrorKeepsDefaultsAndLogsTheParserText) {
    TestDir dir;
    dir.useAsConfig(configWithLog(dir, 20, R"(, "timeout": 10 ,,)"));
    dravenholt::Context& c = dravenholt::getContext();
    EXPECT_EQ(c.settings().timeoutMs, 12000u);
    // The logging key came before the error in the text, but the parse failed as a whole.
    EXPECT_EQ(c.settings().logThreshold, 50);
}

TEST(Config, LockFileIsCreatedOrDisabled) {
    TestDir dir;
    dir.useAsConfig(configWithLog(dir, 20, R"(, "lockfile": ")" + dir.file("orvo.lock") + "\""));
    EXPECT_TRUE(dravenholt::getContext().deviceLock().usesLockFile());
    EXPECT_TRUE(std::ifstream(dir.file("orvo.lock")).good());
    std::string log = dir.read("orvo.log");
    EXPECT_NE(log.find("DEBUG : Process lockfile: " + dir.file("orvo.lock")), std::string::npos);
    EXPECT_NE(log.find("DEBUG : Creating lockfile: "), std::string::npos);
    auto device = std::make_shared<ScriptedDevice>();
    installDevices({device});
    EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(device->requests.size(), 1u);
}

TEST(Config, LockFileInAMissingDirectoryDisablesTheLock) {
    TestDir dir;
    dir.useAsConfig(configWithLog(dir, 20, R"(, "lockfile": ")" + dir.file("no/such/dir/orvo.lock") + "\""));
    EXPECT_FALSE(dravenholt::getContext().deviceLock().usesLockFile());
    EXPECT_NE(dir.read("orvo.log").find("Failed to parse config"), std::string::npos);
}

#ifndef _WIN32
// The log file and the lock file may lie in a directory that others can write to.
TEST(Files, NothingPlantedAtTheLogOrLockPathIsFollowed) {
    namespace fs = std::filesystem;
    TestDir dir;
    dir.useAsConfig();
    dravenholt::Context& c = dravenholt::getContext();
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
    dravenholt::Context& c = dravenholt::getContext();
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
