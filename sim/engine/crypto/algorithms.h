// The hashes and ciphers of the device, fetched from OpenSSL once for the life of the process.
#pragma once

#include <openssl/evp.h>

#include "common.h"

namespace dravenholt::sim {

enum class Hash : uint8_t { None, Md5, Sha1, Sha224, Sha256, Sha384, Sha512 };

// Null for Hash::None.
const EVP_MD* evpMd(Hash hash);
size_t hashSize(Hash hash);
const char* hashName(Hash hash);

// Ciphers by OpenSSL name ("AES-128-CBC", "DES-EDE3-ECB", "AES-256-WRAP", ...); null when
// OpenSSL has none of that name.
const EVP_CIPHER* evpCipher(const char* name);
EVP_MAC* evpMac(const char* name);  // "HMAC" or "CMAC"

}  // namespace dravenholt::sim
