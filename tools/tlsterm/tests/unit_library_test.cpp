// getTlsTerm on certificates the test makes.
#include <string>

#include <openssl/err.h>

#include <gtest/gtest.h>

#include "cert_files.h"
#include "hbn_test.h"
#include "tlsTerm.h"

namespace {

std::string text(const struct tm& t) {
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
           t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

TEST(TlsTerm, ReadsBothDates) {
  hbntest::Sandbox box;
  struct Case {
    const char* name;
    certfiles::Form form;
    const char* notBefore;
    const char* notAfter;
    const char* start;
    const char* end;
  };
  const Case cases[] = {
      {"UTCTime dates", certfiles::Form::kPlain, "200131090000Z", "300131085959Z", "2020-01-31 09:00:00",
       "2030-01-31 08:59:59"},
      {"GeneralizedTime end after 2049", certfiles::Form::kPlain, "200131090000Z", "20510228235959Z",
       "2020-01-31 09:00:00", "2051-02-28 23:59:59"},
      {"trusted-certificate form", certfiles::Form::kTrusted, "191231235959Z", "210101000000Z",
       "2019-12-31 23:59:59", "2021-01-01 00:00:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = box.path("/etc/cert.pem");
    ASSERT_TRUE(certfiles::writeCert(path, c.notBefore, c.notAfter, c.form));
    struct tm start = {}, end = {};
    EXPECT_EQ(getTlsTerm(path.c_str(), &start, &end), 0);
    EXPECT_EQ(text(start), c.start);
    EXPECT_EQ(text(end), c.end);
  }
}

TEST(TlsTerm, Failures) {
  hbntest::Sandbox box;
  const std::string keyOnly = box.path("/etc/key.pem");
  const std::string badStart = box.path("/etc/bad-start.pem");
  const std::string badEnd = box.path("/etc/bad-end.pem");
  const std::string badBoth = box.path("/etc/bad-both.pem");
  ASSERT_TRUE(certfiles::writeKeyOnly(keyOnly));
  ASSERT_TRUE(certfiles::writeCert(badStart, "!20013109000Z", "300131085959Z"));
  ASSERT_TRUE(certfiles::writeCert(badEnd, "200131090000Z", "!garbage"));
  ASSERT_TRUE(certfiles::writeCert(badBoth, "!garbage", "!garbage"));
  box.write("/etc/empty.pem", "");

  struct tm a = {}, b = {};
  EXPECT_EQ(getTlsTerm(nullptr, &a, &b), -1);
  EXPECT_EQ(getTlsTerm(keyOnly.c_str(), nullptr, &b), -1);
  EXPECT_EQ(getTlsTerm(keyOnly.c_str(), &a, nullptr), -1);
  EXPECT_EQ(getTlsTerm(box.path("/etc/missing.pem").c_str(), &a, &b), -3);
  EXPECT_EQ(getTlsTerm(box.path("/etc/empty.pem").c_str(), &a, &b), -3);
  EXPECT_EQ(getTlsTerm(box.path("/etc").c_str(), &a, &b), -3);  // a directory
  EXPECT_EQ(getTlsTerm(keyOnly.c_str(), &a, &b), -3);
  EXPECT_EQ(getTlsTerm(badStart.c_str(), &a, &b), -4);
  EXPECT_EQ(getTlsTerm(badEnd.c_str(), &a, &b), -5);
  EXPECT_EQ(getTlsTerm(badBoth.c_str(), &a, &b), -5);  // the end is reported first
  EXPECT_EQ(ERR_peek_error(), 0u);                     // nothing left for the caller's TLS code
}

}  // namespace
