#include "transport/tls_connection.h"

#include <mbedtls/error.h>
#include <mbedtls/md.h>

#include <algorithm>
#include <chrono>

#include "transport/buffered_bio.h"
#include "transport/mbed_raii.h"
#include "platform/net_socket.h"

namespace dravenholt {

namespace {

constexpr char kPersonalisation[] = "orvo_client";

// What the server's chain may use: SHA-1 and SHA-2 signatures, any key type and curve, RSA
// keys of at least 2048 bits.
constexpr uint32_t kDigests = MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA1) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA224) |
                              MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) |
                              MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512);
static_assert(kDigests == 0xF8);
const mbedtls_x509_crt_profile kCertificateProfile = {kDigests, 0x0FFFFFFF, 0x0FFFFFFF, 2048};

bool retryable(int ret) {
    return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE ||
           ret == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS || ret == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
}

class SilentLog final : public LogTarget {
public:
    void log(int, const char*, ...) override {}
    void logMessage(int, const std::string&) override {}
};

LogTarget* orSilent(LogTarget* log) {
    static SilentLog silent;
    return log ? log : &silent;
}

// mbedtls writes one line per finding; a log line holds them all.
std::string oneLine(const char* text) {
    std::string out(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    for (size_t at; (at = out.find('\n')) != std::string::npos;) out.replace(at, 1, "; ");
    return out;
}

}  // namespace

struct TlsConnection::State : mbed::ClientContexts {
    mbed::TimedSocket timed{*socket.get()};
    mbed::BufferedBio bio{&timed, mbed::sendBy, mbed::receiveBy};
    mbed::Clock::time_point exchangeEnd = mbed::Clock::now();
    std::chrono::steady_clock::time_point lastReply = std::chrono::steady_clock::now();
};

TlsConnection::TlsConnection(std::string address, uint32_t port, std::string caBundlePath, LogTarget* log)
    : address_(std::move(address)), caBundlePath_(std::move(caBundlePath)), port_(port), log_(orSilent(log)) {}

TlsConnection::~TlsConnection() { close(); }

bool TlsConnection::connect(uint32_t timeoutMs) {
    close();
    timeoutMs_ = timeoutMs;
    state_ = std::make_unique<State>();
    State& s = *state_;

    int ret = mbedtls_ctr_drbg_seed(s.drbg.get(), mbedtls_entropy_func, s.entropy.get(),
                                    reinterpret_cast<const unsigned char*>(kPersonalisation),
                                    sizeof kPersonalisation - 1);
    if (ret != 0) {
        log_->log(kError, "drbg returned %d", ret);
        return fail(ret);
    }
    ret = mbedtls_x509_crt_parse_file(s.caChain.get(), caBundlePath_.c_str());
    if (ret < 0) {  // a positive count of unparsable certificates is accepted, with a warning
        if (ret == MBEDTLS_ERR_PK_FILE_IO_ERROR)
            log_->log(kError, "Failed to open ca cert file %s.", caBundlePath_.c_str());
        else
            log_->log(kError, "CA file parse returned -0x%x", static_cast<unsigned>(-ret));
        return fail(ret);
    }
    if (ret > 0)
        log_->log(kWarn, "CA file %s: %d certificates could not be parsed and are not trusted",
                  caBundlePath_.c_str(), ret);

    log_->log(kInfo, "Connecting to %s:%d...", address_.c_str(), static_cast<int>(port_));
    // Connecting and the handshake share one deadline.
    s.timed.deadline = mbed::Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string portText = std::to_string(static_cast<int32_t>(port_));
    ret = mbed::connectBy(s.timed, address_.c_str(), portText.c_str());
    if (ret != 0) {
        if (ret == MBEDTLS_ERR_SSL_TIMEOUT) log_->log(kError, "no connection within %u ms", timeoutMs);
        log_->log(kError, "connect returned %d", ret);
        return fail(ret);
    }

    ret = mbedtls_ssl_config_defaults(s.config.get(), MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                      MBEDTLS_SSL_PRESET_DEFAULT);
    if (ret != 0) {
        log_->log(kError, "config defaults returned %d", ret);
        return fail(ret);
    }
    // TLS 1.0 and 1.1 are refused: the handshake fails against a server that offers no more.
    mbedtls_ssl_conf_min_version(s.config.get(), MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_cert_profile(s.config.get(), &kCertificateProfile);
    // The handshake completes whatever verification finds; the result is judged below.
    mbedtls_ssl_conf_authmode(s.config.get(), MBEDTLS_SSL_VERIFY_OPTIONAL);
    mbedtls_ssl_conf_ca_chain(s.config.get(), s.caChain.get(), nullptr);
    mbedtls_ssl_conf_rng(s.config.get(), mbedtls_ctr_drbg_random, s.drbg.get());

    ret = mbedtls_ssl_setup(s.ssl.get(), s.config.get());
    if (ret != 0) {
        log_->log(kError, "ssl setup returned %d", ret);
        return fail(ret);
    }
    ret = mbedtls_ssl_set_hostname(s.ssl.get(), address_.c_str());
    if (ret != 0) {
        log_->log(kError, "set_hostname returned %d", ret);
        return fail(ret);
    }
    s.bio.attach(s.ssl.get());

    while ((ret = mbedtls_ssl_handshake(s.ssl.get())) != 0) {
        if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) {
            log_->log(kError, "ssl handshake returned -0x%x", static_cast<unsigned>(-ret));
            return fail(ret);
        }
    }

    uint32_t flags = mbedtls_ssl_get_verify_result(s.ssl.get());
    if (flags != 0) {
        char info[512] = {};
        mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
        log_->log(kError, "Certificate verification failed: %s", oneLine(info).c_str());
        state_.reset();
        return false;
    }
    return true;
}

bool TlsConnection::fail(int error) {
    char text[100] = {};
    mbedtls_strerror(error, text, sizeof text);
    log_->log(kError, "Last error was: %d - %s", error, text);
    state_.reset();
    return false;
}

void TlsConnection::close() {
    if (!state_) return;
    log_->logMessage(kTrace, "closing tls connection.");
    mbedtls_ssl_close_notify(state_->ssl.get());
    state_.reset();
}

void TlsConnection::abandon() {
    if (!state_) return;
    // mbedtls_net_free would shut the socket down for the parent too, so it finds none left.
    mbed::releaseSocketHandle(*state_->socket.get());
    state_.reset();
}

bool TlsConnection::read(uint8_t* buffer, size_t& length) {
    if (state_) state_->timed.deadline = state_->exchangeEnd;
    return receive(buffer, length);
}

bool TlsConnection::readMore(uint8_t* buffer, size_t& length, std::chrono::milliseconds within) {
    if (state_) state_->timed.deadline = std::min(state_->exchangeEnd, mbed::Clock::now() + within);
    return receive(buffer, length);
}

bool TlsConnection::receive(uint8_t* buffer, size_t& length) {
    if (!state_) {
        log_->logMessage(kError, "tls port not open, read failed.");
        length = 0;
        return false;
    }
    if (length == 0) return true;
    mbedtls_ssl_context* ssl = state_->ssl.get();
    int ret;
    do {
        ret = mbedtls_ssl_read(ssl, buffer, length);
    } while (retryable(ret));
    if (ret < 1) {
        log_->log(kError, "tls read failed: %d", ret);
        close();
        length = 0;
        return false;
    }
    size_t got = static_cast<size_t>(ret);
    while (got < length && (mbedtls_ssl_get_bytes_avail(ssl) > 0 || state_->bio.holdsRecord())) {
        ret = mbedtls_ssl_read(ssl, buffer + got, length - got);
        if (ret > 0) {
            got += static_cast<size_t>(ret);
        } else {
            // The peer closed or broke the connection behind what it sent: keep the bytes.
            if (!retryable(ret)) close();
            break;
        }
    }
    length = got;
    if (state_) state_->lastReply = std::chrono::steady_clock::now();
    return true;
}

bool TlsConnection::write(const uint8_t* data, size_t length) {
    if (!state_) {
        log_->logMessage(kError, "tls port not open, write failed.");
        return false;
    }
    state_->exchangeEnd = state_->timed.deadline = mbed::Clock::now() + std::chrono::milliseconds(timeoutMs_);
    size_t written = 0;
    while (written < length) {
        int ret = mbedtls_ssl_write(state_->ssl.get(), data + written, length - written);
        if (ret >= 0) {
            written += static_cast<size_t>(ret);
        } else if (!retryable(ret)) {
            log_->log(kError, "tls write failed: %d", ret);
            close();
            return false;
        }
    }
    return true;
}

bool TlsConnection::hasPendingInput() {
    if (!state_) return false;
    State& s = *state_;
    if (mbedtls_ssl_get_bytes_avail(s.ssl.get()) > 0 || mbedtls_ssl_check_pending(s.ssl.get()) || s.bio.held() > 0)
        return true;
    if (std::chrono::steady_clock::now() - s.lastReply < kBusy) return false;
    // Readable while idle means stray bytes or the peer's close; an error means a broken socket.
    return mbed::hasUnreadInput(*s.socket.get());
}

}  // namespace dravenholt
