// RAII owners for the OpenSSL objects the device uses, and the conversions between their
// numbers and the big-endian byte strings that attributes hold.
#pragma once

#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include "common.h"

namespace dravenholt::sim::ossl {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)>
using Ptr = std::unique_ptr<T, Deleter<T, Free>>;

using Pkey = Ptr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtx = Ptr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MacCtx = Ptr<EVP_MAC_CTX, EVP_MAC_CTX_free>;
using KdfCtx = Ptr<EVP_KDF_CTX, EVP_KDF_CTX_free>;
using Bn = Ptr<BIGNUM, BN_clear_free>;
using BnCtx = Ptr<BN_CTX, BN_CTX_free>;
using EcGroup = Ptr<EC_GROUP, EC_GROUP_free>;
using EcPoint = Ptr<EC_POINT, EC_POINT_clear_free>;
using EcdsaSig = Ptr<ECDSA_SIG, ECDSA_SIG_free>;
using ParamBuild = Ptr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Ptr<OSSL_PARAM, OSSL_PARAM_free>;
using Pkcs8 = Ptr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using Kdf = Ptr<EVP_KDF, EVP_KDF_free>;
// Bytes OpenSSL allocated for an encoding (i2d_*).
inline void freeBytes(unsigned char* p) { OPENSSL_free(p); }
using Der = Ptr<unsigned char, freeBytes>;

// A parsed key shared by the object that holds its material and the operations that use it.
using SharedKey = std::shared_ptr<EVP_PKEY>;
inline SharedKey share(Pkey key) { return SharedKey(key.release(), EVP_PKEY_free); }

// Null when `bytes` is empty.
Bn bnFrom(const Bytes& bytes);
// Big-endian unsigned bytes, left-padded to `width` when given; at least one byte.
Bytes bnBytes(const BIGNUM* value, size_t width = 0);
// A number parameter of a key (OSSL_PKEY_PARAM_*); empty when the key has none.
Bytes keyNumber(const EVP_PKEY* key, const char* name, size_t width = 0);

}  // namespace dravenholt::sim::ossl
