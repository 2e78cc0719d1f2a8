// PKCS7 signatures of FMP payload items with OpenSSL's libcrypto, as EDK II's GenerateCapsule
// has openssl make them and EDK II's FMP authentication checks them. kvrcap alone links it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pkcs7 {

using Bytes = std::vector<uint8_t>;

// A detached PKCS7 SignedData of data, DER: SHA-256, no signed attributes, the other
// certificates and then the signer's in it. The key and the certificates are PEM files;
// each file of otherCerts may hold several. Throws std::runtime_error, OpenSSL's reason
// included, when a file cannot be read or the signature cannot be made.
Bytes Sign(const Bytes &data, const std::string &keyPem, const std::string &certPem,
           const std::vector<std::string> &otherCerts);

// Whether signature (DER) signs data with a certificate that chains to one in trustedPem,
// as platform firmware checks it: without a clock (a certificate's validity dates are not
// looked at) and for any purpose. false, with OpenSSL's reason in why, when it does not.
bool Verify(const Bytes &signature, const Bytes &data, const std::string &trustedPem,
            std::string *why);

}  // namespace pkcs7
