#include "crypto/algorithms.h"

#include <array>
#include <map>
#include <mutex>
#include <string>

#include "crypto/ossl.h"

namespace dravenholt::sim {
namespace {

struct HashInfo {
    const char* name;
    size_t size;
};
constexpr HashInfo kHashes[] = {
    {nullptr, 0}, {"MD5", 16}, {"SHA1", 20}, {"SHA2-224", 28}, {"SHA2-256", 32}, {"SHA2-384", 48}, {"SHA2-512", 64},
};

// Fetched algorithms are kept until the process ends (fetching is the slow part of using one)
// and released before OpenSSL's own clean-up, which OpenSSL set up before they were fetched.
template <class T, T* (*Fetch)(OSSL_LIB_CTX*, const char*, const char*), void (*Free)(T*)>
T* fetchOnce(const char* name) {
    static std::mutex lock;
    static std::map<std::string, ossl::Ptr<T, Free>> fetched;
    std::lock_guard guard(lock);
    auto [it, fresh] = fetched.try_emplace(name);
    if (fresh) it->second.reset(Fetch(nullptr, name, nullptr));
    return it->second.get();
}

}  // namespace

const EVP_MD* evpMd(Hash hash) {
    using Md = ossl::Ptr<EVP_MD, EVP_MD_free>;
    // Looked up on every digest operation, so without a lock: made once, on first use.
    static const std::array<Md, std::size(kHashes)> table = [] {
        std::array<Md, std::size(kHashes)> made;
        for (size_t i = 1; i < made.size(); ++i) made[i].reset(EVP_MD_fetch(nullptr, kHashes[i].name, nullptr));
        return made;
    }();
    return table[size_t(hash)].get();
}

size_t hashSize(Hash hash) { return kHashes[size_t(hash)].size; }
const char* hashName(Hash hash) { return kHashes[size_t(hash)].name; }

const EVP_CIPHER* evpCipher(const char* name) {
    return fetchOnce<EVP_CIPHER, EVP_CIPHER_fetch, EVP_CIPHER_free>(name);
}
EVP_MAC* evpMac(const char* name) { return fetchOnce<EVP_MAC, EVP_MAC_fetch, EVP_MAC_free>(name); }

}  // namespace dravenholt::sim
