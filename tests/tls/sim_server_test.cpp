// The simulator's TLS front end: frame handling, stopping, and the state directory that lets the
// library find and trust it.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "state_directory.h"
#include "tls_fixture.h"
#include "transport/tcp_transport.h"

using namespace orvotest;
using dravenholt::TCPTransport;
using dravenholt::TlsConnection;

namespace {

struct SimServer : ::testing::Test {
    Pki pki;
    TestDir dir;
    RecordingLog log;
    void SetUp() override { dir.write("ca.pem", pki.authority.certificatePem); }

    std::string readReply(TlsConnection& c) {
        uint8_t buffer[2048];
        size_t n = sizeof buffer;
        return c.read(buffer, n) ? std::string(reinterpret_cast<char*>(buffer), n) : "<failed>";
    }
    static bool writeText(TlsConnection& c, const std::string& s) {
        return c.write(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
    static std::string frame(const std::string& body, char reserved = 0) {
        uint32_t n = static_cast<uint32_t>(body.size());
        return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24), reserved} + body;
    }
};

}  // namespace

TEST_F(SimServer, ReassemblesFramesWhateverTheRecordBoundaries) {
    TestDevice device(pki.server);
    TlsConnection c("127.0.0.1", device.port(), dir.file("ca.pem"), &log);
    ASSERT_TRUE(c.connect(5000)) << log.all();
    std::string one = frame("split"), two = frame("a") + frame("b");
    ASSERT_TRUE(writeText(c, one.substr(0, 3)));  // header in two records, body in a third
    ASSERT_TRUE(writeText(c, one.substr(3, 4)));
    ASSERT_TRUE(writeText(c, one.substr(7)));
    EXPECT_EQ(readReply(c), "re:split");
    ASSERT_TRUE(writeText(c, two));  // two frames in one record: two replies, each in one record
    std::string replies = readReply(c);  // one, or both when both have arrived
    if (replies == "re:a") replies += readReply(c);
    EXPECT_EQ(replies, "re:are:b");
    ASSERT_TRUE(writeText(c, frame("")));
    EXPECT_EQ(readReply(c), "re:");
}

TEST_F(SimServer, MalformedFramesEndTheConnection) {
    TestDevice device(pki.server);
    for (const std::string& bad : {frame("x", 1), std::string("\xFC\x0F\x00\x00\x00", 5)}) {  // reserved byte; 4092
        TlsConnection c("127.0.0.1", device.port(), dir.file("ca.pem"), &log);
        ASSERT_TRUE(c.connect(5000));
        ASSERT_TRUE(writeText(c, bad));
        EXPECT_EQ(readReply(c), "<failed>");
        EXPECT_FALSE(c.isOpen());
    }
    EXPECT_TRUE(device.requests().empty());
}

TEST_F(SimServer, StopEndsConnectedClientsAndFreesThePort) {
    auto device = std::make_unique<TestDevice>(pki.server);
    uint16_t port = device->port();
    TlsConnection c("127.0.0.1", port, dir.file("ca.pem"), &log);
    ASSERT_TRUE(c.connect(10000));
    auto start = std::chrono::steady_clock::now();
    device->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(readReply(c), "<failed>");  // at once, not after the 10 s timeout
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    device.reset();
    TestDevice again(pki.server, port);
    EXPECT_EQ(again.port(), port);
}

// The end-to-end tests run the simulator on a state directory the library trusts through the
// configuration written there; this covers what they do not reach.
TEST_F(SimServer, StateDirectoryIsCreatedOnceAndTrustedByTheLibrary) {
    std::string path = dir.file("state/nested");
    std::string firstCertificate;
    {
        dravenholt::sim::StateDirectory state(path);
        EXPECT_THROW(dravenholt::sim::StateDirectory second(path), std::runtime_error);  // one simulator per directory
        auto identity = state.prepare("127.0.0.1");
        firstCertificate = identity.certificatePem;
        EXPECT_EQ(std::filesystem::status(state.path() / "server.key").permissions() & std::filesystem::perms::group_read,
                  std::filesystem::perms::none);
        dravenholt::sim::TlsServer server("127.0.0.1", 0, identity,
                                         dravenholt::sim::sameForAll([](const Bytes& r) { return std::optional<Bytes>(r); }));
        for (const char* name : {"127.0.0.1", "localhost"}) {
            TCPTransport t(name, server.port(), state.authorityFile().string(), &log);
            EXPECT_NO_THROW(t.open()) << name << "\n" << log.all();
        }
        state.writeClientConfig("127.0.0.1", server.port());
        auto config = nlohmann::json::parse(dir.read("state/nested/orvoconfig.json"));
        EXPECT_TRUE(std::filesystem::path(config["transport"]["cacertbundle"].get<std::string>()).is_absolute());
    }
    // A later start keeps what fits and what the user added; a new address gets a new certificate.
    dir.write("state/nested/orvoconfig.json", R"({"logging": {"loglevel": 10}, "transport": {"port": 1}})");
    dravenholt::sim::StateDirectory state(path);
    EXPECT_EQ(state.prepare("127.0.0.1").certificatePem, firstCertificate);
    state.writeClientConfig("127.0.0.1", 4433);
    auto config = nlohmann::json::parse(dir.read("state/nested/orvoconfig.json"));
    EXPECT_EQ(config["logging"]["loglevel"], 10);
    EXPECT_EQ(config["transport"]["port"], 4433);
    auto moved = state.prepare("localhost.localdomain");
    EXPECT_NE(moved.certificatePem, firstCertificate);
    EXPECT_TRUE(dravenholt::sim::certificateFits({moved.keyPem, moved.certificatePem},
                                                 dir.read("state/nested/ca.crt"), "localhost.localdomain"));
}

// An existing directory is used as it is (it may be a home directory), unless others may write
// to it; only a directory the simulator makes gets mode 0700.
TEST_F(SimServer, StateDirectoryKeepsAnExistingModeAndRefusesOneOthersMayWrite) {
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        fs::perms mode;
        bool used;
    } cases[] = {{"home", fs::perms(0755), true}, {"shared", fs::perms(0777), false},
                 {"group", fs::perms(0775), false}, {"sticky", fs::perms(01777), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directory(dir.file(c.name));
        dir.write(std::string(c.name) + "/notes", "kept");
        fs::permissions(dir.file(c.name), c.mode);
        if (c.used) {
            EXPECT_NO_THROW(dravenholt::sim::StateDirectory(dir.file(c.name)));
        } else {
            try {
                dravenholt::sim::StateDirectory state(dir.file(c.name));
                ADD_FAILURE() << "used";
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find(dir.file(c.name) + " may be written by group or world"),
                          std::string::npos) << e.what();
            }
        }
        EXPECT_EQ(fs::status(dir.file(c.name)).permissions(), c.mode);
        EXPECT_EQ(dir.read(std::string(c.name) + "/notes"), "kept");
    }
    dravenholt::sim::StateDirectory made(dir.file("made/"));
    EXPECT_EQ(fs::status(dir.file("made")).permissions(), fs::perms(0700));
}
