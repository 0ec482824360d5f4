#include "tlsTerm.h"

#include <cerrno>
#include <cstdio>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

extern "C" __attribute__((visibility("default"))) int getTlsTerm(const char* path, struct tm* notBefore,
                                                                 struct tm* notAfter) {
  if (path == nullptr || notBefore == nullptr || notAfter == nullptr) return -1;

  errno = 0;
  FILE* file = fopen(path, "r");
  if (file == nullptr) return errno == ENOMEM ? -2 : -3;
  X509* cert = PEM_read_X509_AUX(file, nullptr, nullptr, nullptr);
  fclose(file);
  if (cert == nullptr) {
    ERR_clear_error();  // "no start line" and the like are the caller's -3, not a TLS fault
    return -3;
  }

  int startOk = ASN1_TIME_to_tm(X509_get0_notBefore(cert), notBefore);
  int endOk = ASN1_TIME_to_tm(X509_get0_notAfter(cert), notAfter);
  X509_free(cert);
  if (!startOk || !endOk) ERR_clear_error();
  if (!endOk) return -5;
  if (!startOk) return -4;
  return 0;
}
