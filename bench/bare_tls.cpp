#include "bare_tls.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "bench_error.h"
#include "transport/buffered_bio.h"
#include "transport/mbed_raii.h"

namespace orvo_bench {

namespace mbed = dravenholt::mbed;

struct BareTlsClient::State : mbed::ClientContexts {
    mbed::BufferedBio bio{socket.get(), mbedtls_net_send, mbedtls_net_recv};
};

namespace {

void need(int ret, const char* what) {
    if (ret != 0) throw BenchError(std::string("bare TLS client: ") + what + " failed (" + std::to_string(ret) + ")");
}

}  // namespace

BareTlsClient::BareTlsClient(const std::string& address, uint32_t port, const std::string& caBundlePath,
                             uint32_t timeoutMs)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    need(mbedtls_ctr_drbg_seed(s.drbg.get(), mbedtls_entropy_func, s.entropy.get(), nullptr, 0), "seeding");
    need(mbedtls_x509_crt_parse_file(s.caChain.get(), caBundlePath.c_str()) < 0, "reading the CA bundle");
    need(mbedtls_net_connect(s.socket.get(), address.c_str(), std::to_string(port).c_str(), MBEDTLS_NET_PROTO_TCP),
         "connecting");
    timeval limit{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
    need(setsockopt(s.socket->fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), "setting the receive timeout");
    need(mbedtls_ssl_config_defaults(s.config.get(), MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                     MBEDTLS_SSL_PRESET_DEFAULT),
         "configuring");
    mbedtls_ssl_conf_authmode(s.config.get(), MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(s.config.get(), s.caChain.get(), nullptr);
    mbedtls_ssl_conf_rng(s.config.get(), mbedtls_ctr_drbg_random, s.drbg.get());
    need(mbedtls_ssl_setup(s.ssl.get(), s.config.get()), "setting up");
    need(mbedtls_ssl_set_hostname(s.ssl.get(), address.c_str()), "setting the host name");
    s.bio.attach(s.ssl.get());
    int ret;
    while ((ret = mbedtls_ssl_handshake(s.ssl.get())) != 0)
        if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) need(ret, "handshake");
}

BareTlsClient::~BareTlsClient() { mbedtls_ssl_close_notify(state_->ssl.get()); }

size_t BareTlsClient::exchange(const uint8_t* request, size_t length, uint8_t* reply, size_t capacity) {
    uint8_t frame[4096];
    if (length > sizeof frame - 5) throw BenchError("bare TLS client: request too long");
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(length >> (8 * i));
    frame[4] = 0;
    std::memcpy(frame + 5, request, length);
    mbedtls_ssl_context* ssl = state_->ssl.get();
    if (mbedtls_ssl_write(ssl, frame, length + 5) != static_cast<int>(length + 5))
        throw BenchError("bare TLS client: write failed");
    int got = mbedtls_ssl_read(ssl, reply, capacity);
    if (got <= 0) throw BenchError("bare TLS client: read failed (" + std::to_string(got) + ")");
    return static_cast<size_t>(got);
}

}  // namespace orvo_bench
