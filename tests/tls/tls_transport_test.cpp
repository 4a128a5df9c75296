// The TLS transport against a TLS device on a loopback port: framing, certificate checks and
// protocol versions, deadlines and lost connections, each with the log lines the library writes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/errors.h"
#include "tls_fixture.h"
#include "transport/tcp_transport.h"

using namespace orvotest;
using dravenholt::TCPTransport;

namespace {

struct TlsTransport : ::testing::Test {
    Pki pki;
    TestDir dir;
    RecordingLog log;
    std::string bundle = dir.file("ca.pem");

    void SetUp() override { dir.write("ca.pem", pki.authority.certificatePem); }

    std::unique_ptr<TCPTransport> transportTo(const TestDevice& device, const std::string& caFile) {
        return std::make_unique<TCPTransport>("127.0.0.1", device.port(), caFile, &log);
    }

    // One request and its reply; "" when the transport reports failure.
    static std::string exchange(TCPTransport& t, const std::string& request) {
        if (t.write(request) != request.size()) return "";
        uint8_t buffer[2048];
        size_t n = t.read(buffer, sizeof buffer);
        return std::string(reinterpret_cast<char*>(buffer), n);
    }

    void expectOpenFails(TCPTransport& t) {
        try {
            t.open();
            FAIL() << "open succeeded";
        } catch (const dravenholt::DeviceError& e) {
            EXPECT_STREQ(e.what(), "connection failed");
        }
        EXPECT_FALSE(t.isOpen());
    }
};

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

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// Requests of one- and two-byte lengths go out framed; programs the application starts do not
// inherit the connection.
TEST_F(TlsTransport, FramesRequestsOnAConnectionClosedOnExec) {
    TestDevice device(pki.server);
    auto t = transportTo(device, bundle);
    t->open();
    int fd = connectionTo(device.port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    std::string large(300, 'x');
    EXPECT_EQ(exchange(*t, "ping"), "re:ping");
    EXPECT_EQ(exchange(*t, large), "re:" + large);
    t->close();
    EXPECT_FALSE(t->isOpen());
    t->close();  // harmless when closed
}

TEST_F(TlsTransport, FrameLimitIs4096BytesWithTheHeader) {
    TestDevice device(pki.server);
    device.setBehaviour([](const Bytes& r) { return std::optional<Bytes>(bytesOf(std::to_string(r.size()))); });
    auto t = transportTo(device, bundle);
    t->open();
    std::vector<uint8_t> request(4092, 0xA5);
    EXPECT_EQ(t->write(request.data(), 4092), 0u);  // not sent at all
    EXPECT_EQ(t->write(request.data(), 4091), 4091u);
    uint8_t reply[16];
    size_t n = t->read(reply, sizeof reply);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), n), "4091");
    ASSERT_EQ(device.requests().size(), 1u);
    EXPECT_EQ(device.requests()[0], Bytes(request.begin(), request.begin() + 4091));
    EXPECT_TRUE(t->isOpen());
    EXPECT_EQ(log.count(" 50 "), 0u) << log.all();
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
        if (c.connects) {
            EXPECT_FALSE(caseLog.has("Last error was")) << caseLog.all();
            EXPECT_FALSE(caseLog.has("handshake returned")) << caseLog.all();
        }
        EXPECT_TRUE(device.requests().empty());
    }
}

TEST_F(TlsTransport, RecordsReceivedTogetherAreReadTogether) {
    // A reply longer than a record goes out as two. A read takes both when they have arrived and
    // the buffer holds them; otherwise the second is stray input, found before the next request
    // without a pause.
    TestDevice device(pki.server);
    device.setBehaviour([](const Bytes&) { return std::optional<Bytes>(Bytes(16384 + 100, 'r')); });
    auto t = transportTo(device, bundle);
    t->open();
    for (size_t room : {20000, 16384}) {
        ASSERT_EQ(t->write("go"), 2u);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both records are in by now
        std::vector<uint8_t> reply(room);
        EXPECT_EQ(t->read(reply.data(), room), std::min<size_t>(room, 16484));
        t->discardStale();  // at once, before the connection could count as idle
    }
    EXPECT_EQ(log.count("Connecting to"), 2u) << log.all();
}

TEST_F(TlsTransport, StaleConnectionIsReplacedBeforeTheNextRequest) {
    TestDevice device(pki.server);
    auto t = transportTo(device, bundle);
    t->open();
    t->discardStale();  // an idle, healthy connection stays
    EXPECT_EQ(log.count("Connecting to"), 1u);
    EXPECT_EQ(exchange(*t, "one"), "re:one");
    // Unread reply bytes force a reconnect.
    EXPECT_EQ(t->write("abcdef"), 6u);
    uint8_t part[4];
    EXPECT_EQ(t->read(part, sizeof part), 4u);  // "re:a"; the rest stays in the stream
    t->discardStale();
    EXPECT_EQ(log.count("Connecting to"), 2u) << log.all();
    EXPECT_EQ(exchange(*t, "next"), "re:next");

    device.restart();  // the device goes away and comes back on the same port
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t->discardStale();
    EXPECT_EQ(log.count("Connecting to"), 3u) << log.all();
    EXPECT_EQ(exchange(*t, "two"), "re:two");

    device.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    expectOpenFails(*t);
}

namespace {

// `openssl s_server` offering one protocol version on a free loopback port, for one connection
// (and for ten seconds at most).
class OpenSslServer {
public:
    OpenSslServer(const std::string& identity, const std::string& version) {
        std::string command = "exec timeout 10 openssl s_server -www -accept 0 -naccept 1 -" + version +
                              " -cipher DEFAULT:@SECLEVEL=0 -cert " + identity + " </dev/null 2>&1";
        output_ = ::popen(command.c_str(), "r");
        char line[256];
        while (output_ && port_ == 0 && std::fgets(line, sizeof line, output_)) {
            std::string text = line;  // "ACCEPT [::]:PORT"
            if (text.rfind("ACCEPT", 0) == 0) port_ = static_cast<uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
        }
    }
    ~OpenSslServer() {
        if (output_) ::pclose(output_);
    }
    uint16_t port() const { return port_; }

private:
    FILE* output_ = nullptr;
    uint16_t port_ = 0;
};

}  // namespace

TEST_F(TlsTransport, ServersOfferingOnlyTls10Or11AreRefused) {
    dir.write("server.pem", pki.server.certificatePem + pki.server.keyPem);
    const struct {
        const char* version;
        bool connects;
    } cases[] = {{"tls1", false}, {"tls1_1", false}, {"tls1_2", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        RecordingLog caseLog;
        OpenSslServer server(dir.file("server.pem"), c.version);
        ASSERT_NE(server.port(), 0);
        TCPTransport t("127.0.0.1", server.port(), bundle, &caseLog);
        t.setTimeout(3000);
        if (c.connects) {
            t.open();
            EXPECT_TRUE(t.isOpen());
            t.close();
        } else {
            expectOpenFails(t);
            EXPECT_TRUE(caseLog.has("50 ssl handshake returned -0x6e80")) << caseLog.all();  // bad protocol version
        }
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
    double waited = secondsSince(start);
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 1.5);
    EXPECT_TRUE(log.has("50 no connection within 300 ms")) << log.all();
    ::close(waiting);
    ::close(listener);
}

TEST_F(TlsTransport, ReplyTrickledAByteAtATimeEndsAtTheDeadline) {
    TestDevice device(pki.server);
    device.setBehaviour([](const Bytes&) { return std::optional<Bytes>(Bytes(100, 'r')); });
    TricklingRelay relay(device.port(), std::chrono::milliseconds(100));
    TCPTransport t("127.0.0.1", relay.port(), bundle, &log);
    t.setTimeout(400);
    t.open();
    relay.trickle();
    ASSERT_EQ(t.write("go"), 2u);
    auto start = std::chrono::steady_clock::now();
    uint8_t reply[256];
    EXPECT_EQ(t.read(reply, sizeof reply), 0u);  // the whole reply would take 13 s
    double waited = secondsSince(start);
    EXPECT_GE(waited, 0.35);
    EXPECT_LT(waited, 1.5);
    EXPECT_TRUE(log.has("50 tls read failed: -26624")) << log.all();
    EXPECT_FALSE(t.isOpen());
}

TEST_F(TlsTransport, SentRequestsDoNotStayInTheTransport) {
    TestDevice device(pki.server);
    auto t = transportTo(device, bundle);
    t->open();
    const std::string pin = "PIN:8642097531";
    EXPECT_EQ(exchange(*t, pin), "re:" + pin);
    // The transport's own bytes, its frame buffer among them.
    const auto* own = reinterpret_cast<const char*>(t.get());
    EXPECT_EQ(std::string(own, own + sizeof(TCPTransport)).find(pin), std::string::npos);
}
