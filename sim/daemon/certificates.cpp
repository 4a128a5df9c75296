#include "certificates.h"

#include <mbedtls/asn1write.h>
#include <mbedtls/ecp.h>
#include <mbedtls/error.h>
#include <mbedtls/oid.h>
#include <mbedtls/x509_crt.h>

#include <ctime>
#include <stdexcept>

#include "transport/mbed_raii.h"

namespace dravenholt::sim {

namespace {

using CertWriter = mbed::Holder<mbedtls_x509write_cert, mbedtls_x509write_crt_init, mbedtls_x509write_crt_free>;
using BigNumber = mbed::Holder<mbedtls_mpi, mbedtls_mpi_init, mbedtls_mpi_free>;

constexpr int kValidityYears = 10;

int check(int ret, const char* what) {
    if (ret < 0) {
        char text[128] = {};
        mbedtls_strerror(ret, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
    return ret;
}

class Random {
public:
    Random() {
        static const char personal[] = "orvo_sim_ca";
        check(mbedtls_ctr_drbg_seed(drbg_.get(), mbedtls_entropy_func, entropy_.get(),
                                    reinterpret_cast<const unsigned char*>(personal), sizeof personal - 1),
              "seeding the random generator");
    }
    mbedtls_ctr_drbg_context* context() { return drbg_.get(); }

private:
    mbed::Entropy entropy_;
    mbed::CtrDrbg drbg_;
};

void generateKey(mbed::PrivateKey& key, Random& random) {
    check(mbedtls_pk_setup(key.get(), mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)), "preparing a key");
    check(mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(*key.get()), mbedtls_ctr_drbg_random,
                              random.context()),
          "generating a key");
}

void parseKey(mbed::PrivateKey& key, const std::string& pem) {
    check(mbedtls_pk_parse_key(key.get(), reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1,
                               nullptr, 0),
          "reading a private key");
}

bool parseCertificate(mbed::Certificates& chain, const std::string& pem) {
    return mbedtls_x509_crt_parse(chain.get(), reinterpret_cast<const unsigned char*>(pem.c_str()),
                                  pem.size() + 1) == 0;
}

std::string keyPem(mbed::PrivateKey& key) {
    unsigned char buffer[2048] = {};
    check(mbedtls_pk_write_key_pem(key.get(), buffer, sizeof buffer), "writing a private key");
    return reinterpret_cast<const char*>(buffer);
}

// "YYYYMMDDhhmmss" in UTC, `years` from now (a day back for 0, against clock skew).
std::string timeText(int years) {
    std::time_t now = std::time(nullptr);
    if (years == 0) now -= 24 * 3600;
    std::tm utc{};
    gmtime_r(&now, &utc);
    utc.tm_year += years;
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
    return text;
}

// The subjectAltName extension value: a sequence of dNSName entries.
std::vector<unsigned char> dnsNames(const std::vector<std::string>& names) {
    std::vector<unsigned char> buffer(64 + 8 * names.size() + [&] {
        size_t total = 0;
        for (const auto& n : names) total += n.size();
        return total;
    }());
    unsigned char* start = buffer.data();
    unsigned char* p = start + buffer.size();
    size_t length = 0;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        size_t entry = check(mbedtls_asn1_write_raw_buffer(&p, start, reinterpret_cast<const unsigned char*>(it->data()),
                                                           it->size()),
                             "writing a name");
        entry += check(mbedtls_asn1_write_len(&p, start, entry), "writing a name");
        entry += check(mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONTEXT_SPECIFIC | 2), "writing a name");
        length += entry;
    }
    length += check(mbedtls_asn1_write_len(&p, start, length), "writing the names");
    length += check(mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE),
                    "writing the names");
    return {p, p + length};
}

struct CertificateRequest {
    std::string subject;
    std::string issuer;
    bool authority = false;
    std::vector<std::string> names;
};

std::string writeCertificate(const CertificateRequest& request, mbed::PrivateKey& subjectKey,
                             mbed::PrivateKey& issuerKey, Random& random) {
    CertWriter writer;
    mbedtls_x509write_crt_set_version(writer.get(), MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(writer.get(), MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(writer.get(), subjectKey.get());
    mbedtls_x509write_crt_set_issuer_key(writer.get(), issuerKey.get());
    check(mbedtls_x509write_crt_set_subject_name(writer.get(), request.subject.c_str()), "subject name");
    check(mbedtls_x509write_crt_set_issuer_name(writer.get(), request.issuer.c_str()), "issuer name");

    unsigned char serialBytes[16];
    check(mbedtls_ctr_drbg_random(random.context(), serialBytes, sizeof serialBytes), "serial number");
    serialBytes[0] &= 0x7F;
    serialBytes[0] |= 0x01;
    BigNumber serial;
    check(mbedtls_mpi_read_binary(serial.get(), serialBytes, sizeof serialBytes), "serial number");
    check(mbedtls_x509write_crt_set_serial(writer.get(), serial.get()), "serial number");
    check(mbedtls_x509write_crt_set_validity(writer.get(), timeText(0).c_str(), timeText(kValidityYears).c_str()),
          "validity");

    check(mbedtls_x509write_crt_set_basic_constraints(writer.get(), request.authority ? 1 : 0, request.authority ? 0 : -1),
          "basic constraints");
    check(mbedtls_x509write_crt_set_subject_key_identifier(writer.get()), "subject key identifier");
    check(mbedtls_x509write_crt_set_authority_key_identifier(writer.get()), "authority key identifier");
    unsigned int usage = request.authority ? MBEDTLS_X509_KU_KEY_CERT_SIGN | MBEDTLS_X509_KU_CRL_SIGN
                                           : MBEDTLS_X509_KU_DIGITAL_SIGNATURE | MBEDTLS_X509_KU_KEY_AGREEMENT;
    check(mbedtls_x509write_crt_set_key_usage(writer.get(), usage), "key usage");
    if (!request.names.empty()) {
        std::vector<unsigned char> names = dnsNames(request.names);
        check(mbedtls_x509write_crt_set_extension(writer.get(), MBEDTLS_OID_SUBJECT_ALT_NAME,
                                                  MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME), 0, names.data(),
                                                  names.size()),
              "subject alternative names");
    }

    unsigned char buffer[4096] = {};
    check(mbedtls_x509write_crt_pem(writer.get(), buffer, sizeof buffer, mbedtls_ctr_drbg_random, random.context()),
          "writing a certificate");
    return reinterpret_cast<const char*>(buffer);
}

// The subject of the authority certificate, as the issuer of what it signs.
std::string subjectOf(const std::string& certificatePem) {
    mbed::Certificates chain;
    if (!parseCertificate(chain, certificatePem)) throw std::runtime_error("unreadable authority certificate");
    char text[512] = {};
    check(mbedtls_x509_dn_gets(text, sizeof text, &chain->subject), "authority subject");
    // mbedtls prints ", " between the parts and reads them back only without the space.
    std::string subject = text;
    for (size_t at; (at = subject.find(", ")) != std::string::npos;) subject.erase(at + 1, 1);
    return subject;
}

}  // namespace

Credential makeAuthority(const std::string& commonName) {
    Random random;
    mbed::PrivateKey key;
    generateKey(key, random);
    std::string subject = "O=Orvo simulator,CN=" + commonName;
    Credential out;
    out.certificatePem = writeCertificate({subject, subject, true, {}}, key, key, random);
    out.keyPem = keyPem(key);
    return out;
}

Credential issueServerCertificate(const Credential& authority, const std::vector<std::string>& names) {
    if (names.empty()) throw std::invalid_argument("a server certificate needs a name");
    Random random;
    mbed::PrivateKey issuerKey, key;
    parseKey(issuerKey, authority.keyPem);
    generateKey(key, random);
    CertificateRequest request{"O=Orvo simulator,CN=" + names.front(), subjectOf(authority.certificatePem), false, names};
    Credential out;
    out.certificatePem = writeCertificate(request, key, issuerKey, random);
    out.keyPem = keyPem(key);
    return out;
}

bool certificateFits(const Credential& server, const std::string& authorityPem, const std::string& name) {
    mbed::Certificates certificate, authority;
    mbed::PrivateKey key;
    if (!parseCertificate(certificate, server.certificatePem) || !parseCertificate(authority, authorityPem))
        return false;
    if (mbedtls_pk_parse_key(key.get(), reinterpret_cast<const unsigned char*>(server.keyPem.c_str()),
                             server.keyPem.size() + 1, nullptr, 0) != 0)
        return false;
    if (mbedtls_pk_check_pair(&certificate->pk, key.get()) != 0) return false;
    uint32_t flags = 0;
    return mbedtls_x509_crt_verify(certificate.get(), authority.get(), nullptr, name.c_str(), &flags, nullptr,
                                   nullptr) == 0 &&
           flags == 0;
}

}  // namespace dravenholt::sim
