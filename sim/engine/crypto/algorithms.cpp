#include "crypto/algorithms.h"

#include <map>
#include <mutex>
#include <string>

namespace dravenholt::sim {
namespace {

struct HashInfo {
    const char* name;
    size_t size;
};
constexpr HashInfo kHashes[] = {
    {nullptr, 0}, {"MD5", 16}, {"SHA1", 20}, {"SHA2-224", 28}, {"SHA2-256", 32}, {"SHA2-384", 48}, {"SHA2-512", 64},
};

// Fetched algorithms live until the process ends; fetching is the slow part of using one.
template <class T, T* (*Fetch)(OSSL_LIB_CTX*, const char*, const char*)>
T* fetchOnce(const char* name) {
    static std::mutex lock;
    static std::map<std::string, T*> fetched;
    std::lock_guard guard(lock);
    auto [it, fresh] = fetched.try_emplace(name, nullptr);
    if (fresh) it->second = Fetch(nullptr, name, nullptr);
    return it->second;
}

}  // namespace

const EVP_MD* evpMd(Hash hash) {
    static const EVP_MD* const table[] = {
        nullptr,
        EVP_MD_fetch(nullptr, kHashes[1].name, nullptr), EVP_MD_fetch(nullptr, kHashes[2].name, nullptr),
        EVP_MD_fetch(nullptr, kHashes[3].name, nullptr), EVP_MD_fetch(nullptr, kHashes[4].name, nullptr),
        EVP_MD_fetch(nullptr, kHashes[5].name, nullptr), EVP_MD_fetch(nullptr, kHashes[6].name, nullptr),
    };
    return table[size_t(hash)];
}

size_t hashSize(Hash hash) { return kHashes[size_t(hash)].size; }
const char* hashName(Hash hash) { return kHashes[size_t(hash)].name; }

const EVP_CIPHER* evpCipher(const char* name) { return fetchOnce<EVP_CIPHER, EVP_CIPHER_fetch>(name); }
EVP_MAC* evpMac(const char* name) { return fetchOnce<EVP_MAC, EVP_MAC_fetch>(name); }

}  // namespace dravenholt::sim
