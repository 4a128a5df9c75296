// The holders of the mbedtls contexts of a TLS connection.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "transport/mbed_holder.h"

namespace dravenholt::mbed {

using Entropy = Holder<mbedtls_entropy_context, mbedtls_entropy_init, mbedtls_entropy_free>;
using CtrDrbg = Holder<mbedtls_ctr_drbg_context, mbedtls_ctr_drbg_init, mbedtls_ctr_drbg_free>;
using SslConfig = Holder<mbedtls_ssl_config, mbedtls_ssl_config_init, mbedtls_ssl_config_free>;
using SslContext = Holder<mbedtls_ssl_context, mbedtls_ssl_init, mbedtls_ssl_free>;
using Certificates = Holder<mbedtls_x509_crt, mbedtls_x509_crt_init, mbedtls_x509_crt_free>;
using PrivateKey = Holder<mbedtls_pk_context, mbedtls_pk_init, mbedtls_pk_free>;
using Socket = Holder<mbedtls_net_context, mbedtls_net_init, mbedtls_net_free>;

// What one TLS client connection holds, declared so that destruction frees the socket first and
// the entropy collector last.
struct ClientContexts {
    Entropy entropy;
    CtrDrbg drbg;
    SslConfig config;
    SslContext ssl;
    Certificates caChain;
    Socket socket;
};

}  // namespace dravenholt::mbed
