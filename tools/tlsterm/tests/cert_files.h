// Test certificates made with the OpenSSL API: chosen validity dates, malformed dates, the
// trusted-certificate form and a file that holds only a private key.
#pragma once
#include <cstdio>
#include <string>

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace certfiles {

inline EVP_PKEY* newKey() {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx && EVP_PKEY_keygen_init(ctx) > 0 &&
      EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx, NID_X9_62_prime256v1) > 0)
    EVP_PKEY_keygen(ctx, &key);
  EVP_PKEY_CTX_free(ctx);
  return key;
}

// Sets a time from its text ("YYMMDDHHMMSSZ" or "YYYYMMDDHHMMSSZ"); `raw` stores the bytes
// unchecked so malformed dates can be written.
inline void setTime(ASN1_TIME* t, const char* text, bool raw) {
  if (raw) {
    ASN1_TIME_set_string(t, "200101000000Z");  // gives the time its UTCTime tag
    ASN1_STRING_set(t, text, -1);
  } else {
    ASN1_TIME_set_string(t, text);
  }
}

enum class Form { kPlain, kTrusted };

// Writes a self-signed certificate to `path`; a date prefixed with '!' is stored unchecked.
inline bool writeCert(const std::string& path, const char* notBefore, const char* notAfter,
                      Form form = Form::kPlain) {
  EVP_PKEY* key = newKey();
  X509* x = X509_new();
  bool ok = key && x;
  if (ok) {
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    setTime(X509_getm_notBefore(x), notBefore[0] == '!' ? notBefore + 1 : notBefore, notBefore[0] == '!');
    setTime(X509_getm_notAfter(x), notAfter[0] == '!' ? notAfter + 1 : notAfter, notAfter[0] == '!');
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("gateway"),
                               -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    ok = X509_sign(x, key, EVP_sha256()) > 0;
  }
  FILE* f = ok ? fopen(path.c_str(), "w") : nullptr;
  if (f) {
    ok = (form == Form::kTrusted ? PEM_write_X509_AUX(f, x) : PEM_write_X509(f, x)) == 1;
    fclose(f);
  } else {
    ok = false;
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return ok;
}

inline bool writeKeyOnly(const std::string& path) {
  EVP_PKEY* key = newKey();
  FILE* f = key ? fopen(path.c_str(), "w") : nullptr;
  bool ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (f) fclose(f);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace certfiles
