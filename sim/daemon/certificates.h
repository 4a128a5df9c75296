// The simulator's own small certificate authority: EC P-256 keys and certificates made with
// mbedtls, held as PEM text.
#pragma once

#include <string>
#include <vector>

namespace dravenholt::sim {

struct Credential {
    std::string keyPem;
    std::string certificatePem;
};

// A self-signed authority certificate, valid for ten years.
Credential makeAuthority(const std::string& commonName);

// A server certificate issued by `authority`. Each name goes into a DNS-type subject
// alternative name and the first also into the common name: mbedtls matches the address text
// a client connects to against exactly those, an IP address included.
Credential issueServerCertificate(const Credential& authority, const std::vector<std::string>& names);

// Whether `server` chains to the authority certificate, is valid now, matches `name` as a
// client will check it, and its key belongs to its certificate.
bool certificateFits(const Credential& server, const std::string& authorityPem, const std::string& name);

}  // namespace dravenholt::sim
