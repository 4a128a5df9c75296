#include "server_connection.h"

#include <mbedtls/error.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "transport/buffered_bio.h"
#include "transport/mbed_raii.h"
#include "platform/net_socket.h"

namespace dravenholt::sim {

namespace {

// Each connection has its own TLS state, nothing shared with other connections' threads.
struct ServerTls {
    explicit ServerTls(mbedtls_net_context& socket)
        : bio(&socket, mbed::sendNoSignal, mbedtls_net_recv, mbedtls_net_recv_timeout) {}
    mbed::Entropy entropy;
    mbed::CtrDrbg drbg;
    mbed::SslConfig config;
    mbed::Certificates certificate;
    mbed::PrivateKey key;
    mbed::SslContext ssl;
    mbed::BufferedBio bio;
};

std::string errorText(int ret) {
    char text[128] = {};
    mbedtls_strerror(ret, text, sizeof text);
    return text;
}

void check(int ret, const char* what) {
    if (ret != 0) throw std::runtime_error(std::string(what) + ": " + errorText(ret));
}

bool retryable(int ret) { return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE; }

void setUp(ServerTls& tls, const ServerIdentity& identity) {
    static const char personal[] = "orvo_sim_server";
    check(mbedtls_ctr_drbg_seed(tls.drbg.get(), mbedtls_entropy_func, tls.entropy.get(),
                                reinterpret_cast<const unsigned char*>(personal), sizeof personal - 1),
          "random generator");
    check(mbedtls_x509_crt_parse(tls.certificate.get(),
                                 reinterpret_cast<const unsigned char*>(identity.certificatePem.c_str()),
                                 identity.certificatePem.size() + 1),
          "server certificate");
    check(mbedtls_pk_parse_key(tls.key.get(), reinterpret_cast<const unsigned char*>(identity.keyPem.c_str()),
                               identity.keyPem.size() + 1, nullptr, 0),
          "server key");
    check(mbedtls_ssl_config_defaults(tls.config.get(), MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT),
          "configuration");
    mbedtls_ssl_conf_rng(tls.config.get(), mbedtls_ctr_drbg_random, tls.drbg.get());
    mbedtls_ssl_conf_read_timeout(tls.config.get(), kHandshakeTimeoutMs);
    check(mbedtls_ssl_conf_own_cert(tls.config.get(), tls.certificate.get(), tls.key.get()), "own certificate");
    check(mbedtls_ssl_setup(tls.ssl.get(), tls.config.get()), "setup");
    tls.bio.attach(tls.ssl.get());
}

bool readExactly(mbedtls_ssl_context* ssl, uint8_t* out, size_t length) {
    size_t have = 0;
    while (have < length) {
        int ret = mbedtls_ssl_read(ssl, out + have, length - have);
        if (retryable(ret)) continue;
        if (ret <= 0) return false;
        have += static_cast<size_t>(ret);
    }
    return true;
}

bool writeAll(mbedtls_ssl_context* ssl, const uint8_t* data, size_t length) {
    size_t written = 0;
    while (written < length) {
        int ret = mbedtls_ssl_write(ssl, data + written, length - written);
        if (retryable(ret)) continue;
        if (ret < 0) return false;
        written += static_cast<size_t>(ret);
    }
    return true;
}

// The reply in its records: a write each, so that each goes out as a record of its own.
bool sendReply(mbedtls_ssl_context* ssl, const Reply& reply) {
    size_t from = 0;
    for (size_t i = 0; i <= reply.cuts.size(); ++i) {
        size_t to = i < reply.cuts.size() ? std::min(reply.cuts[i], reply.bytes.size()) : reply.bytes.size();
        if (to <= from) continue;
        if (from > 0) std::this_thread::sleep_for(reply.pause);
        if (!writeAll(ssl, reply.bytes.data() + from, to - from)) return false;
        from = to;
    }
    return true;
}

}  // namespace

void serveConnection(mbedtls_net_context& socket, const ServerIdentity& identity, const Responder& responder,
                     const ServerLog& log, const std::string& name) {
    auto note = [&](const std::string& line) {
        if (log) log(name + ": " + line);
    };
    try {
        ServerTls tls(socket);
        setUp(tls, identity);
        mbedtls_ssl_context* ssl = tls.ssl.get();
        int ret;
        while ((ret = mbedtls_ssl_handshake(ssl)) != 0) {
            if (!retryable(ret)) {
                note("handshake failed: " + errorText(ret));
                return;
            }
        }
        // A client may keep its connection idle for as long as it likes: from now on each read
        // is a plain blocking one, without a select() before it.
        mbedtls_ssl_conf_read_timeout(tls.config.get(), 0);
        tls.bio.setReceive(mbedtls_net_recv, nullptr);
        tls.bio.attach(ssl);

        Bytes request;
        bool notify = true;
        for (;;) {
            uint8_t header[5];
            if (!readExactly(ssl, header, sizeof header)) break;
            uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
            if (header[4] != 0 || length > kMaxRequest) {
                note("malformed request frame, closing");
                break;
            }
            request.resize(length);
            if (length && !readExactly(ssl, request.data(), length)) break;
            Reply reply = responder(request);
            if (!sendReply(ssl, reply)) break;
            if (reply.end) {
                notify = !reply.abrupt;
                break;
            }
        }
        if (notify) mbedtls_ssl_close_notify(ssl);
    } catch (const std::exception& e) {
        note(e.what());
    } catch (...) {
        note("unexpected failure");
    }
}

}  // namespace dravenholt::sim
