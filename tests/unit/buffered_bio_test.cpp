// The buffered socket under mbedtls: one receive for all that has arrived, handed out in the
// pieces mbedtls asks for, in order; the peer's close and errors passed on as they come; whole
// records told apart from parts.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "transport/buffered_bio.h"

namespace {

// What the socket delivers, one entry per receive: bytes, or a return code when empty.
struct Arrival {
    std::string bytes;
    int code = 0;
};
std::deque<Arrival> arrivals;
int receives = 0;

int scriptedReceive(void*, unsigned char* out, size_t length) {
    ++receives;
    Arrival next = arrivals.front();
    arrivals.pop_front();
    if (next.bytes.empty()) return next.code;
    EXPECT_LE(next.bytes.size(), length);
    next.bytes.copy(reinterpret_cast<char*>(out), next.bytes.size());
    return static_cast<int>(next.bytes.size());
}

int unusedSend(void*, const unsigned char*, size_t) { return MBEDTLS_ERR_NET_SEND_FAILED; }

struct BufferedBioTest : ::testing::Test {
    mbedtls_net_context socket{};
    dravenholt::mbed::BufferedBio bio{&socket, unusedSend, scriptedReceive};
    mbedtls_ssl_context ssl;

    void SetUp() override {
        arrivals.clear();
        receives = 0;
        mbedtls_ssl_init(&ssl);
        bio.attach(&ssl);
    }
    void TearDown() override { mbedtls_ssl_free(&ssl); }

    // What mbedtls would get asking for `length` bytes.
    std::string take(size_t length) {
        unsigned char out[64];
        int got = ssl.f_recv(ssl.p_bio, out, length);
        return got > 0 ? std::string(reinterpret_cast<char*>(out), got) : "rv " + std::to_string(got);
    }
};

TEST_F(BufferedBioTest, TwoRecordsThatArrivedTogetherCostOneReceive) {
    arrivals = {{"HEAD+body-one" "HEAD+body-two"}, {"", 0}};
    EXPECT_EQ(take(5), "HEAD+");
    EXPECT_EQ(take(8), "body-one");
    EXPECT_EQ(bio.held(), 13u);
    EXPECT_EQ(take(5), "HEAD+");
    EXPECT_EQ(take(64), "body-two");  // never more than was received
    EXPECT_EQ(receives, 1);
    EXPECT_EQ(take(5), "rv 0");       // the close, once all is handed out
    EXPECT_EQ(receives, 2);
}

TEST_F(BufferedBioTest, ErrorsAndRetriesPassThroughAndLoseNothing) {
    arrivals = {{"", MBEDTLS_ERR_SSL_TIMEOUT}, {"", MBEDTLS_ERR_SSL_WANT_READ}, {"abc"},
                {"", MBEDTLS_ERR_NET_CONN_RESET}};
    EXPECT_EQ(take(2), "rv " + std::to_string(MBEDTLS_ERR_SSL_TIMEOUT));
    EXPECT_EQ(take(2), "rv " + std::to_string(MBEDTLS_ERR_SSL_WANT_READ));
    EXPECT_EQ(take(2), "ab");
    EXPECT_EQ(take(2), "c");
    EXPECT_EQ(take(2), "rv " + std::to_string(MBEDTLS_ERR_NET_CONN_RESET));
    EXPECT_EQ(bio.held(), 0u);
}

// At a record boundary: whether the bytes held make a whole record, as its header says.
TEST_F(BufferedBioTest, HoldsARecordOnlyWithAllOfItsBody) {
    auto header = [](size_t body) { return std::string{'\x17', '\x03', '\x03', char(body >> 8), char(body & 0xFF)}; };
    const struct {
        std::string held;
        bool whole;
    } cases[] = {
        {header(3).substr(0, 4), false},
        {header(3) + "ab", false},
        {header(3) + "abc", true},
        {header(3) + "abc" + header(1), true},
        {header(0x102) + std::string(0x101, 'x'), false},
        {header(0x102) + std::string(0x102, 'x'), true},
    };
    for (const auto& c : cases) {
        dravenholt::mbed::BufferedBio fresh{&socket, unusedSend, scriptedReceive};
        fresh.attach(&ssl);
        arrivals = {{c.held}};
        EXPECT_FALSE(fresh.holdsRecord());
        take(0);  // receives, hands out nothing
        EXPECT_EQ(fresh.held(), c.held.size());
        EXPECT_EQ(fresh.holdsRecord(), c.whole) << c.held.size();
    }
}

}  // namespace
