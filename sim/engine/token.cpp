#include "token.h"

#include <ctime>

#include <openssl/evp.h>

namespace dravenholt::sim {
namespace {

constexpr unsigned kPinIterations = 2000;

// PBKDF2 with HMAC-SHA-256, as stored PIN records have always been made.
Bytes derivePin(const Bytes& pin, const Bytes& salt) {
    Bytes out(32);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pin.data()), int(pin.size()), salt.data(), int(salt.size()),
                          int(kPinIterations), EVP_sha256(), int(out.size()), out.data()) != 1)
        return {};
    return out;
}

std::string padded(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

}  // namespace

bool Token::pinLengthOk(const Bytes& pin) const {
    return pin.size() >= record.config.minPinLen && pin.size() <= record.config.maxPinLen;
}

PinCheck Token::check(PinRecord& pin, const Bytes& candidate) const {
    if (locked(pin)) return PinCheck::Locked;
    Bytes hash = derivePin(candidate, pin.salt);
    bool match = pin.set && !hash.empty() && hash.size() == pin.hash.size() &&
                 sameSecret(hash.data(), pin.hash.data(), hash.size());
    if (match) {
        pin.failures = 0;
        return PinCheck::Ok;
    }
    ++pin.failures;
    return locked(pin) ? PinCheck::Locked : PinCheck::Incorrect;
}

bool Token::setPin(PinRecord& pin, const Bytes& value, Random& random) {
    Bytes salt = random.bytes(16);
    Bytes hash = salt.empty() ? Bytes{} : derivePin(value, salt);
    if (hash.empty()) return false;
    pin.set = true;
    pin.salt = std::move(salt);
    pin.hash = std::move(hash);
    pin.failures = 0;
    return true;
}

void Token::setTime(int64_t secondsSince1970) { clockOffset_ = secondsSince1970 - int64_t(std::time(nullptr)); }

std::string Token::utcTime() const {
    std::time_t now = std::time(nullptr) + clockOffset_;
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[17];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S00", &parts);
    return text;
}

uint32_t Token::pinFlags(const PinRecord& pin, uint32_t low, uint32_t final, uint32_t lock) const {
    uint32_t max = record.config.maxLoginFailures;
    if (pin.failures == 0) return 0;
    if (pin.failures >= max) return lock;
    return pin.failures + 1 == max ? (low | final) : low;
}

TokenInfoMsg Token::info(const std::string& serial, uint32_t sessions, uint32_t rwSessions,
                         uint32_t maxSessions, size_t usedMemory) const {
    TokenInfoMsg m = TokenInfoMsg_init_zero;
    auto put = [](auto& field, const std::string& text) {
        wire::setBytesField(field.bytes, field.size, sizeof field.bytes, text);
    };
    put(m.label, padded(record.initialized ? record.label : "", 32));
    put(m.manufacturerId, padded("Dravenholtique", 32));
    put(m.model, padded("Orvo", 16));
    put(m.serialNumber, padded(serial, 16));
    put(m.utcTime, utcTime());
    m.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_RESTORE_KEY_NOT_NEEDED | CKF_CLOCK_ON_TOKEN;
    if (record.initialized) m.flags |= CKF_TOKEN_INITIALIZED;
    if (record.user.set) m.flags |= CKF_USER_PIN_INITIALIZED;
    m.flags |= pinFlags(record.user, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
    m.flags |= pinFlags(record.so, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
    m.maxSessionCount = maxSessions;
    m.sessionCount = sessions;
    m.maxRwSessionCount = maxSessions;
    m.rwSessionCount = rwSessions;
    m.maxPinLen = record.config.maxPinLen;
    m.minPinLen = record.config.minPinLen;
    constexpr uint32_t kMemory = 1u << 20;
    uint32_t used = usedMemory > kMemory ? kMemory : uint32_t(usedMemory);
    m.totalPublicMemory = m.totalPrivateMemory = kMemory;
    m.freePublicMemory = m.freePrivateMemory = kMemory - used;
    m.hardwareVersionMajor = 2;
    m.firmwareVersionMajor = 1;
    return m;
}

}  // namespace dravenholt::sim
