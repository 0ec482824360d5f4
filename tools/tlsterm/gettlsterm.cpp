// gettlsterm <certificate.pem>: prints the start and end of the certificate's validity.
#include <cstdio>
#include <ctime>

#include "tlsTerm.h"

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  struct tm start = {};
  struct tm expire = {};
  int result = getTlsTerm(argv[1], &start, &expire);
  if (result != 0) {
    fprintf(stderr, "ERROR:get cert date information(%d)\n", result);
    return 1;
  }
  printf("start :%4d/%02d/%02d %02d:%02d:%02d\n", start.tm_year + 1900, start.tm_mon + 1, start.tm_mday,
         start.tm_hour, start.tm_min, start.tm_sec);
  printf("expire:%4d/%02d/%02d %02d:%02d:%02d\n", expire.tm_year + 1900, expire.tm_mon + 1, expire.tm_mday,
         expire.tm_hour, expire.tm_min, expire.tm_sec);
  return 0;
}
