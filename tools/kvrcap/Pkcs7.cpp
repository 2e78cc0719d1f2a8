#include "tools/kvrcap/Pkcs7.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace pkcs7 {
namespace {

struct Free {
  void operator()(BIO *p) const { BIO_free(p); }
  void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
  void operator()(X509 *p) const { X509_free(p); }
  void operator()(PKCS7 *p) const { PKCS7_free(p); }
  void operator()(X509_STORE *p) const { X509_STORE_free(p); }
  void operator()(STACK_OF(X509) *p) const { sk_X509_pop_free(p, X509_free); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// OpenSSL's queued errors, oldest first, and the queue emptied.
std::string Errors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(e, line, sizeof line);
    text += (text.empty() ? "" : "; ") + std::string(line);
  }
  return text.empty() ? "no reason given" : text;
}

[[noreturn]] void Fail(const std::string &what) {
  throw std::runtime_error(what + " (" + Errors() + ")");
}

Owned<BIO> OpenFile(const std::string &path) {
  Owned<BIO> bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) Fail("cannot read " + path);
  return bio;
}

}  // namespace

Bytes Sign(const Bytes &data, const std::string &keyPem, const std::string &certPem,
           const std::vector<std::string> &otherCerts) {
  ERR_clear_error();
  Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(OpenFile(keyPem).get(), nullptr, nullptr, nullptr));
  if (!key) Fail(keyPem + " holds no PEM private key");
  Owned<X509> cert(PEM_read_bio_X509(OpenFile(certPem).get(), nullptr, nullptr, nullptr));
  if (!cert) Fail(certPem + " holds no PEM certificate");
  Owned<STACK_OF(X509)> others(sk_X509_new_null());
  for (const std::string &path : otherCerts) {
    Owned<BIO> bio = OpenFile(path);
    int read = 0;
    while (X509 *other = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      sk_X509_push(others.get(), other);
      read++;
    }
    ERR_clear_error();  // the end of the file
    if (read == 0) Fail(path + " holds no PEM certificate");
  }
  Owned<BIO> in(BIO_new_mem_buf(data.data(), (int)data.size()));
  // openssl smime -sign -binary -noattr -outform DER -md sha256, as GenerateCapsule runs it:
  // detached, the content signed as it is.
  const int flags = PKCS7_BINARY | PKCS7_DETACHED | PKCS7_NOATTR | PKCS7_PARTIAL;
  Owned<PKCS7> p7(PKCS7_sign(nullptr, nullptr, others.get(), in.get(), flags));
  if (!p7) Fail("cannot start the PKCS7 signature");
  if (!PKCS7_sign_add_signer(p7.get(), cert.get(), key.get(), EVP_sha256(), flags)) {
    Fail("the key of " + keyPem + " does not sign with the certificate of " + certPem);
  }
  if (!PKCS7_final(p7.get(), in.get(), flags)) Fail("cannot sign the payload item");
  unsigned char *der = nullptr;
  const int length = i2d_PKCS7(p7.get(), &der);
  if (length <= 0) Fail("cannot write the signature as DER");
  Bytes signature(der, der + length);
  OPENSSL_free(der);
  return signature;
}

bool Verify(const Bytes &signature, const Bytes &data, const std::string &trustedPem,
            std::string *why) {
  ERR_clear_error();
  const unsigned char *p = signature.data();
  Owned<PKCS7> p7(d2i_PKCS7(nullptr, &p, (long)signature.size()));
  if (!p7 || p != signature.data() + signature.size()) {
    *why = "the certificate data is no DER PKCS7 structure (" + Errors() + ")";
    return false;
  }
  Owned<X509_STORE> store(X509_STORE_new());
  if (!X509_STORE_load_file(store.get(), trustedPem.c_str())) {
    *why = "cannot read the trusted certificate " + trustedPem + " (" + Errors() + ")";
    return false;
  }
  X509_STORE_set_flags(store.get(), X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_PARTIAL_CHAIN);
  X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
  Owned<BIO> content(BIO_new_mem_buf(data.data(), (int)data.size()));
  if (PKCS7_verify(p7.get(), nullptr, store.get(), content.get(), nullptr, PKCS7_BINARY) != 1) {
    *why = Errors();
    return false;
  }
  return true;
}

}  // namespace pkcs7
