// Owning holders for mbedtls contexts: each is initialised on construction and freed on
// destruction, so no path can leak one or free it twice.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace dravenholt::mbed {

template <class T, void (*Init)(T*), void (*Free)(T*)>
class Holder {
public:
    Holder() { Init(&value_); }
    ~Holder() { Free(&value_); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    T* get() { return &value_; }
    const T* get() const { return &value_; }
    T* operator->() { return &value_; }

private:
    T value_;
};

using Entropy = Holder<mbedtls_entropy_context, mbedtls_entropy_init, mbedtls_entropy_free>;
using CtrDrbg = Holder<mbedtls_ctr_drbg_context, mbedtls_ctr_drbg_init, mbedtls_ctr_drbg_free>;
using SslConfig = Holder<mbedtls_ssl_config, mbedtls_ssl_config_init, mbedtls_ssl_config_free>;
using SslContext = Holder<mbedtls_ssl_context, mbedtls_ssl_init, mbedtls_ssl_free>;
using Certificates = Holder<mbedtls_x509_crt, mbedtls_x509_crt_init, mbedtls_x509_crt_free>;
using PrivateKey = Holder<mbedtls_pk_context, mbedtls_pk_init, mbedtls_pk_free>;
using Socket = Holder<mbedtls_net_context, mbedtls_net_init, mbedtls_net_free>;

}  // namespace dravenholt::mbed
