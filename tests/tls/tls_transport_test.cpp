// The TLS transport against a device on a loopback port (framing, certificates, protocol versions,
// deadlines, with the log lines the library writes), and the simulator's TLS front end: frames
// and the state directory that lets the library find and trust it.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/errors.h"
#include "state_directory.h"
#include "tls_fixture.h"
#include "transport/tcp_transport.h"

using namespace orvotest;
using namespace std::chrono_literals;
using dravenholt::TCPTransport;
using dravenholt::TlsConnection;

namespace {

struct TlsTransport : ::testing::Test {
    Pki pki;
    TestDir dir;
    RecordingLog log;
    std::string bundle = dir.file("ca.pem");

    void SetUp() override { dir.write("ca.pem", pki.authority.certificatePem); }

    std::unique_ptr<TCPTransport> openTo(uint16_t port, uint32_t timeoutMs = 1000) {
        auto t = std::make_unique<TCPTransport>("127.0.0.1", port, bundle, &log);
        t->setTimeout(timeoutMs);
        t->open();
        return t;
    }
    std::unique_ptr<TlsConnection> connectTo(uint16_t port) {
        auto c = std::make_unique<TlsConnection>("127.0.0.1", port, bundle, &log);
        EXPECT_TRUE(c->connect(10000)) << log.all();
        return c;
    }

    static void expectOpenFails(TCPTransport& t) {
        try {
            t.open();
            ADD_FAILURE() << "open succeeded";
        } catch (const dravenholt::DeviceError& e) {
            EXPECT_STREQ(e.what(), "connection failed");
        }
        EXPECT_FALSE(t.isOpen());
    }

    // A wait that began at `start` ended at the 300-400 ms deadline, with this line logged.
    void expectEndedAtTheDeadline(std::chrono::steady_clock::time_point start, const std::string& line) {
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(waited, 0.25);
        EXPECT_LT(waited, 1.5);
        EXPECT_TRUE(log.has(line)) << log.all();
    }
};
struct SimServer : TlsTransport {};

// A connection's read as text, "<failed>" when it fails; a write of text; a frame around `body`.
std::string readReply(TlsConnection& c) {
    uint8_t buffer[2048];
    size_t n = sizeof buffer;
    return c.read(buffer, n) ? std::string(reinterpret_cast<char*>(buffer), n) : "<failed>";
}
bool writeText(TlsConnection& c, const std::string& s) {
    return c.write(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
std::string frame(const std::string& body, char reserved = 0) {
    uint32_t n = static_cast<uint32_t>(body.size());
    return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24), reserved} + body;
}

// The descriptor of this process's connection to `port`; -1 when there is none.
int connectionTo(uint16_t port) {
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == port)
            return fd;
    }
    return -1;
}

}  // namespace

// Requests go out framed up to 4096 bytes with the header; a longer one is refused unsent without
// an error. Programs the application starts do not inherit the connection; a request sent (a PIN
// here) does not stay in the transport's own bytes, its frame buffer among them.
TEST_F(TlsTransport, FramesRequestsOnAConnectionClosedOnExec) {
    TestDevice device(pki.server);
    auto t = openTo(device.port());
    int fd = connectionTo(device.port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    const std::string pin = "PIN:8642097531", large(300, 'x'), longest(4091, 'y');
    for (const std::string& request : {large, longest, pin}) {
        ASSERT_EQ(t->write(request), request.size());
        char reply[4200];
        EXPECT_EQ(std::string(reply, t->read(reinterpret_cast<uint8_t*>(reply), sizeof reply)), "re:" + request);
    }
    const auto* own = reinterpret_cast<const char*>(t.get());
    EXPECT_EQ(std::string(own, own + sizeof(TCPTransport)).find(pin), std::string::npos);
    EXPECT_EQ(t->write(longest + "y"), 0u);
    EXPECT_EQ(device.requests().size(), 3u);
    EXPECT_TRUE(t->isOpen());
    EXPECT_FALSE(log.has(" 50 ")) << log.all();
    t->close();
    EXPECT_FALSE(t->isOpen());
    t->close();  // harmless when closed
}

// A bundle that cannot be used fails before connecting; a server certificate the bundle does not
// vouch for, or one naming another host, fails on the verification result after the handshake.
TEST_F(TlsTransport, CertificateFailuresAreReported) {
    dir.write("junk.pem", "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    const std::string missing = dir.file("no-such-bundle.pem");
    const struct Case {
        const Credential* server;
        std::string caFile;
        std::vector<std::string> logged;
        bool connects;
    } cases[] = {
        {&pki.server, missing, {"50 Failed to open ca cert file " + missing + ".", "50 Last error was: -15872 - "}, false},
        {&pki.server, dir.file("junk.pem"), {"50 CA file parse returned -0x", "Last error was:"}, false},
        {&pki.foreignServer, bundle, {"50 Certificate verification failed: The certificate is not correctly signed by the trusted CA"}, true},
        {&pki.misnamedServer, bundle,
         {"50 Certificate verification failed: The certificate Common Name (CN) does not match with the expected CN"}, true},
    };
    for (const Case& c : cases) {
        RecordingLog caseLog;
        TestDevice device(*c.server);
        TCPTransport t("127.0.0.1", device.port(), c.caFile, &caseLog);
        expectOpenFails(t);
        for (const std::string& line : c.logged) EXPECT_TRUE(caseLog.has(line)) << caseLog.all();
        EXPECT_EQ(caseLog.has("Connecting to"), c.connects) << caseLog.all();
        bool failedBeforeVerifying = caseLog.has("Last error was") || caseLog.has("handshake returned");
        EXPECT_FALSE(c.connects && failedBeforeVerifying) << caseLog.all();
        EXPECT_TRUE(device.requests().empty());
    }
}

// A reply longer than a record goes out as two. A read takes both when they are in and fit;
// otherwise the second is stray input, found before the next request without a pause.
TEST_F(TlsTransport, RecordsReceivedTogetherAreReadTogether) {
    TestDevice device(pki.server, always(Bytes(16384 + 100, 'r')));
    auto t = openTo(device.port());
    for (size_t room : {20000, 16384}) {
        ASSERT_EQ(t->write("go"), 2u);
        std::this_thread::sleep_for(100ms);  // both records are in by now
        std::vector<uint8_t> reply(room);
        EXPECT_EQ(t->read(reply.data(), room), std::min<size_t>(room, 16484));
        t->discardStale();  // at once, before the connection could count as idle
    }
    EXPECT_EQ(log.count("Connecting to"), 2u) << log.all();
}

// `openssl s_server` offers one protocol version on a free loopback port, for one connection (and
// for ten seconds at most).
TEST_F(TlsTransport, ServersOfferingOnlyTls10Or11AreRefused) {
    dir.write("server.pem", pki.server.certificatePem + pki.server.keyPem);
    for (const std::string version : {"tls1", "tls1_1", "tls1_2"}) {
        SCOPED_TRACE(version);
        std::string command = "exec timeout 10 openssl s_server -www -accept 0 -naccept 1 -" + version +
                              " -cipher DEFAULT:@SECLEVEL=0 -cert " + dir.file("server.pem") + " </dev/null 2>&1";
        std::unique_ptr<FILE, int (*)(FILE*)> server(::popen(command.c_str(), "r"), ::pclose);
        uint16_t port = 0;
        for (char line[256]; server && port == 0 && std::fgets(line, sizeof line, server.get());)
            if (std::string text = line; text.rfind("ACCEPT", 0) == 0)  // "ACCEPT [::]:PORT"
                port = static_cast<uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
        ASSERT_NE(port, 0);
        RecordingLog caseLog;
        TCPTransport t("127.0.0.1", port, bundle, &caseLog);
        t.setTimeout(3000);
        if (version == "tls1_2")
            EXPECT_NO_THROW(t.open()) << caseLog.all();
        else
            expectOpenFails(t);
        // -0x6e80: bad protocol version
        EXPECT_EQ(caseLog.has("50 ssl handshake returned -0x6e80"), version != "tls1_2") << caseLog.all();
    }
}

TEST_F(TlsTransport, ConnectingWhereNothingAnswersEndsAtTheTimeout) {
    // A listener with a backlog of 0 and one connection waiting in it: the system drops further
    // connection requests, as from an address where nothing answers.
    uint16_t port = 0;
    int listener = listenOnLoopback(0, port);
    ASSERT_GE(listener, 0);
    int waiting = connectOnLoopback(port);
    ASSERT_GE(waiting, 0);
    TCPTransport t("127.0.0.1", port, bundle, &log);
    t.setTimeout(300);
    auto start = std::chrono::steady_clock::now();
    expectOpenFails(t);
    expectEndedAtTheDeadline(start, "50 no connection within 300 ms");
    ::close(waiting);
    ::close(listener);
}

// The bytes of one record coming a byte at a time: the reply's deadline bounds every wait for
// the next of them.
TEST_F(TlsTransport, ReplyTrickledAByteAtATimeEndsAtTheDeadline) {
    TestDevice device(pki.server, always(Bytes(100, 'r')));
    TricklingRelay relay(device.port(), 100ms);
    auto t = openTo(relay.port(), 400);
    relay.trickle();
    ASSERT_EQ(t->write("go"), 2u);
    auto start = std::chrono::steady_clock::now();
    uint8_t reply[256];
    EXPECT_EQ(t->read(reply, sizeof reply), 0u);  // the whole reply would take 13 s
    expectEndedAtTheDeadline(start, "50 tls read failed: -26624");
    EXPECT_FALSE(t->isOpen());
}

// A frame split over records, several frames in one record and an empty one are each answered; a
// frame with its reserved byte set, or over 4096 bytes with the header, ends the connection.
TEST_F(SimServer, ReassemblesFramesAndEndsTheConnectionOnMalformedOnes) {
    TestDevice device(pki.server);
    auto c = connectTo(device.port());
    std::string one = frame("split"), two = frame("a") + frame("b");
    ASSERT_TRUE(writeText(*c, one.substr(0, 3)));  // header in two records, body in a third
    ASSERT_TRUE(writeText(*c, one.substr(3, 4)));
    ASSERT_TRUE(writeText(*c, one.substr(7)));
    EXPECT_EQ(readReply(*c), "re:split");
    ASSERT_TRUE(writeText(*c, two));  // two frames in one record: two replies, each in one record
    std::string replies = readReply(*c);  // one, or both when both have arrived
    if (replies == "re:a") replies += readReply(*c);
    EXPECT_EQ(replies, "re:are:b");
    ASSERT_TRUE(writeText(*c, frame("")));
    EXPECT_EQ(readReply(*c), "re:");
    for (const std::string& bad : {frame("x", 1), std::string("\xFC\x0F\x00\x00\x00", 5)}) {
        c = connectTo(device.port());
        ASSERT_TRUE(writeText(*c, bad));
        EXPECT_EQ(readReply(*c), "<failed>");
        EXPECT_FALSE(c->isOpen());
    }
    EXPECT_EQ(device.requests().size(), 4u);  // split, a, b and the empty one
}

// The end-to-end tests run the simulator on a state directory the library trusts through the
// configuration written there; this covers what they do not reach.
TEST_F(SimServer, StateDirectoryIsCreatedOnceAndTrustedByTheLibrary) {
    std::string path = dir.file("state/nested");
    std::string firstCertificate;
    {
        sim::StateDirectory state(path);
        EXPECT_THROW(sim::StateDirectory second(path), std::runtime_error);  // one simulator per directory
        auto identity = state.prepare("127.0.0.1");
        firstCertificate = identity.certificatePem;
        EXPECT_EQ(std::filesystem::status(state.path() / "server.key").permissions() & std::filesystem::perms::group_read,
                  std::filesystem::perms::none);
        sim::TlsServer server("127.0.0.1", 0, identity, sim::sameForAll(echo));
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
    sim::StateDirectory state(path);
    EXPECT_EQ(state.prepare("127.0.0.1").certificatePem, firstCertificate);
    state.writeClientConfig("127.0.0.1", 4433);
    auto config = nlohmann::json::parse(dir.read("state/nested/orvoconfig.json"));
    EXPECT_EQ(config["logging"]["loglevel"], 10);
    EXPECT_EQ(config["transport"]["port"], 4433);
    auto moved = state.prepare("localhost.localdomain");
    EXPECT_NE(moved.certificatePem, firstCertificate);
    EXPECT_TRUE(sim::certificateFits({moved.keyPem, moved.certificatePem}, dir.read("state/nested/ca.crt"),
                                     "localhost.localdomain"));
}

// An existing directory is used as it is (it may be a home directory), unless others may write
// to it; only a directory the simulator makes gets mode 0700.
TEST_F(SimServer, StateDirectoryKeepsAnExistingModeAndRefusesOneOthersMayWrite) {
    namespace fs = std::filesystem;
    const std::pair<const char*, fs::perms> cases[] = {
        {"home", fs::perms(0755)}, {"shared", fs::perms(0777)}, {"group", fs::perms(0775)}, {"sticky", fs::perms(01777)}};
    for (const auto& [name, mode] : cases) {
        SCOPED_TRACE(name);
        const std::string where = dir.file(name);
        fs::create_directory(where);
        dir.write(std::string(name) + "/notes", "kept");
        fs::permissions(where, mode);
        std::string refusal;
        try {
            sim::StateDirectory state(where);
        } catch (const std::runtime_error& e) {
            refusal = e.what();
        }
        if (mode == fs::perms(0755))
            EXPECT_EQ(refusal, "");
        else
            EXPECT_NE(refusal.find(where + " may be written by group or world"), std::string::npos) << refusal;
        EXPECT_EQ(fs::status(where).permissions(), mode);
        EXPECT_EQ(dir.read(std::string(name) + "/notes"), "kept");
    }
    sim::StateDirectory made(dir.file("made/"));
    EXPECT_EQ(fs::status(dir.file("made")).permissions(), fs::perms(0700));
}
